// Checks of the substitute SDK through its C interface (and a few internal pieces), built
// with the test variants (or -DASISIM_TESTS=ON) and run by tests/test_simulator.py. Prints
// one line per failed check and closes with "N passed, N failed".
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "asisim.h"
#include "check.hpp"
#include "sim.hpp"

namespace {

// Tests that pass enumeration values outside the enumerators on purpose, as a C caller
// may: the sanitizer's enum check would stop them at the call.
#if defined(__GNUC__)
#define PASSES_BAD_ENUMS __attribute__((no_sanitize("enum")))
#else
#define PASSES_BAD_ENUMS
#endif

std::string journal() {
    std::size_t n = asisim_journal_read(nullptr, 0);
    std::string text(n, '\0');
    asisim_journal_read(text.data(), n);
    text.resize(n - 1);
    return text;
}

void open_init(int id) {
    ASIOpenCamera(id);
    ASIInitCamera(id);
}

ASI_EXPOSURE_STATUS wait_exposure(int id) {
    ASI_EXPOSURE_STATUS status = ASI_EXP_WORKING;
    while (status == ASI_EXP_WORKING) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASIGetExpStatus(id, &status);
    }
    return status;
}

double mean_u16(const std::vector<unsigned char>& b) {
    double sum = 0;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2)
        sum += b[i] | (b[i + 1] << 8);
    return sum / double(b.size() / 2);
}

std::vector<unsigned char> snap(int id, long size, bool dark) {
    std::vector<unsigned char> buffer(size);
    if (ASIStartExposure(id, dark ? ASI_TRUE : ASI_FALSE) != ASI_SUCCESS)
        return {};
    wait_exposure(id);
    if (ASIGetDataAfterExp(id, buffer.data(), size) != ASI_SUCCESS)
        return {};
    return buffer;
}

void write_bmp(const std::string& path, int width, int height, int bits, std::uint8_t level) {
    std::size_t stride = ((std::size_t(width) * bits + 31) / 32) * 4;
    std::size_t palette = bits == 8 ? 1024 : 0;
    std::size_t offset = 54 + palette, size = offset + stride * height;
    std::vector<unsigned char> b(size, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, static_cast<std::uint32_t>(size));
    put32(10, static_cast<std::uint32_t>(offset));
    put32(14, 40);
    put32(18, static_cast<std::uint32_t>(width));
    put32(22, static_cast<std::uint32_t>(height));
    b[26] = 1;
    b[28] = static_cast<unsigned char>(bits);
    for (int i = 0; bits == 8 && i < 256; ++i)
        b[54 + 4 * i] = b[55 + 4 * i] = b[56 + 4 * i] = static_cast<unsigned char>(i);
    for (std::size_t i = offset; i < size; ++i)
        b[i] = level;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<char*>(b.data()), b.size());
}

// ---------------------------------------------------------------------------------------

void test_discovery() {
    CHECK_EQ(ASIGetNumOfConnectedCameras(), 3);
    ASI_CAMERA_INFO info;
    for (int i = 0; i < 3; ++i) {
        CHECK_EQ(ASIGetCameraProperty(&info, i), ASI_SUCCESS);
        CHECK_EQ(info.CameraID, i);
        int bins = 0;
        while (bins < 16 && info.SupportedBins[bins] != 0)
            ++bins;
        CHECK(bins > 0 && bins < 16);
        int formats = 0;
        while (formats < 8 && info.SupportedVideoFormat[formats] != ASI_IMG_END)
            ++formats;
        CHECK(formats > 0 && formats < 8);
    }
    ASIGetCameraProperty(&info, 0);
    CHECK(std::strcmp(info.Name, "Simulated Mono Cooled") == 0);
    CHECK(info.MaxWidth >= 4096 && info.MaxHeight >= 2160 && info.BitDepth == 14);
    CHECK_EQ(ASIGetCameraProperty(&info, 3), ASI_ERROR_INVALID_INDEX);
    CHECK_EQ(ASIGetCameraProperty(&info, -1), ASI_ERROR_INVALID_INDEX);
    CHECK_EQ(ASIGetCameraPropertyByID(7, &info), ASI_ERROR_INVALID_ID);
    CHECK_EQ(ASIGetCameraProperty(nullptr, 0), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASICameraCheck(asisim::kVendorId, 0x5301), ASI_TRUE);
    CHECK_EQ(ASICameraCheck(asisim::kVendorId, 0x1234), ASI_FALSE);
    CHECK_EQ(ASICameraCheck(0x1234, 0x5301), ASI_FALSE);
    CHECK(std::strlen(ASIGetSDKVersion()) > 0);
    // Serial numbers differ between cameras; IDs survive close and open.
    ASI_SN a, b;
    open_init(0);
    open_init(1);
    ASIGetSerialNumber(0, &a);
    ASIGetSerialNumber(1, &b);
    CHECK(std::memcmp(a.id, b.id, 8) != 0);
    ASI_ID id{{1, 2, 3, 4, 5, 6, 7, 8}}, back{};
    CHECK_EQ(ASISetID(0, id), ASI_SUCCESS);
    ASICloseCamera(0);
    CHECK_EQ(ASIGetID(0, &back), ASI_ERROR_CAMERA_CLOSED);
    ASIOpenCamera(0);
    ASIGetID(0, &back);
    CHECK(std::memcmp(id.id, back.id, 8) == 0);
    asisim_reset();
    ASIOpenCamera(0);
    ASIGetID(0, &back);
    CHECK(back.id[0] == 0 && back.id[7] == 0);
}

void test_sequence() {
    long value;
    ASI_BOOL automatic;
    CHECK_EQ(ASIGetControlValue(0, ASI_GAIN, &value, &automatic), ASI_ERROR_CAMERA_CLOSED);
    CHECK_EQ(ASIStartExposure(0, ASI_FALSE), ASI_ERROR_CAMERA_CLOSED);
    CHECK_EQ(ASIOpenCamera(9), ASI_ERROR_INVALID_ID);
    ASIOpenCamera(0);
    CHECK_EQ(ASIStartExposure(0, ASI_FALSE), ASI_ERROR_INVALID_SEQUENCE);
    CHECK_EQ(ASIStartVideoCapture(0), ASI_ERROR_INVALID_SEQUENCE);
    ASIInitCamera(0);
    CHECK_EQ(ASISetControlValue(0, ASI_EXPOSURE, 200000, ASI_FALSE), ASI_SUCCESS);
    CHECK_EQ(ASIStartExposure(0, ASI_FALSE), ASI_SUCCESS);
    CHECK_EQ(ASIStartExposure(0, ASI_FALSE), ASI_ERROR_EXPOSURE_IN_PROGRESS);
    CHECK_EQ(ASIStartVideoCapture(0), ASI_ERROR_EXPOSURE_IN_PROGRESS);
    CHECK_EQ(ASISetROIFormat(0, 640, 480, 1, ASI_IMG_RAW8), ASI_ERROR_EXPOSURE_IN_PROGRESS);
    unsigned char byte;
    CHECK_EQ(ASIGetDataAfterExp(0, &byte, 1), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIStopExposure(0), ASI_SUCCESS);
    ASI_EXPOSURE_STATUS status;
    ASIGetExpStatus(0, &status);
    CHECK_EQ(status, ASI_EXP_FAILED);
    CHECK_EQ(ASIGetDataAfterExp(0, &byte, 1), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetVideoData(0, &byte, 1, 0), ASI_ERROR_INVALID_SEQUENCE);
    CHECK_EQ(ASIStartVideoCapture(0), ASI_SUCCESS);
    CHECK_EQ(ASIStartExposure(0, ASI_FALSE), ASI_ERROR_VIDEO_MODE_ACTIVE);
    CHECK_EQ(ASISetROIFormat(0, 640, 480, 1, ASI_IMG_RAW8), ASI_ERROR_VIDEO_MODE_ACTIVE);
    CHECK_EQ(ASICloseCamera(0), ASI_SUCCESS);
    CHECK_EQ(ASIGetVideoData(0, &byte, 1, 0), ASI_ERROR_CAMERA_CLOSED);
}

PASSES_BAD_ENUMS void test_controls() {
    open_init(0);
    int count = 0;
    CHECK_EQ(ASIGetNumOfControls(0, &count), ASI_SUCCESS);
    bool seen_cooler = false;
    for (int i = 0; i < count; ++i) {
        ASI_CONTROL_CAPS caps;
        CHECK_EQ(ASIGetControlCaps(0, i, &caps), ASI_SUCCESS);
        CHECK(caps.MinValue <= caps.DefaultValue && caps.DefaultValue <= caps.MaxValue);
        seen_cooler = seen_cooler || caps.ControlType == ASI_COOLER_ON;
        long value;
        ASI_BOOL automatic;
        CHECK_EQ(ASIGetControlValue(0, caps.ControlType, &value, &automatic), ASI_SUCCESS);
    }
    CHECK(seen_cooler);
    ASI_CONTROL_CAPS caps;
    CHECK_EQ(ASIGetControlCaps(0, count, &caps), ASI_ERROR_INVALID_CONTROL_TYPE);
    CHECK_EQ(ASIGetControlCaps(0, -1, &caps), ASI_ERROR_INVALID_CONTROL_TYPE);
    CHECK_EQ(ASISetControlValue(0, ASI_GAIN, 571, ASI_FALSE), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASISetControlValue(0, ASI_GAIN, -1, ASI_FALSE), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASISetControlValue(0, ASI_GAIN, 570, ASI_TRUE), ASI_SUCCESS);
    CHECK_EQ(ASISetControlValue(0, ASI_WB_R, 50, ASI_FALSE), ASI_ERROR_INVALID_CONTROL_TYPE);
    CHECK_EQ(ASISetControlValue(0, ASI_TEMPERATURE, 10, ASI_FALSE), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASISetControlValue(0, ASI_OFFSET, 10, ASI_TRUE), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASISetControlValue(0, static_cast<ASI_CONTROL_TYPE>(99), 1, ASI_FALSE),
             ASI_ERROR_INVALID_CONTROL_TYPE);
    long value;
    ASI_BOOL automatic;
    ASIGetControlValue(0, ASI_GAIN, &value, &automatic);
    CHECK(value == 570 && automatic == ASI_TRUE);
    CHECK_EQ(ASIGetControlValue(0, ASI_GAIN, nullptr, &automatic), ASI_ERROR_GENERAL_ERROR);
    // Camera 1 has no cooler, no trigger, and white balance.
    open_init(1);
    CHECK_EQ(ASISetControlValue(1, ASI_COOLER_ON, 1, ASI_FALSE), ASI_ERROR_INVALID_CONTROL_TYPE);
    CHECK_EQ(ASISetControlValue(1, ASI_WB_R, 60, ASI_FALSE), ASI_SUCCESS);
    ASI_CAMERA_MODE mode;
    CHECK_EQ(ASIGetCameraMode(1, &mode), ASI_ERROR_INVALID_MODE);
    CHECK_EQ(ASISendSoftTrigger(1, ASI_TRUE), ASI_ERROR_INVALID_MODE);
    ASI_GPS_DATA start, end;
    CHECK_EQ(ASIGPSGetData(1, &start, &end), ASI_ERROR_GPS_NOT_SUPPORTED);
    // Guiding needs an ST4 port (camera 2 has none) and a real direction.
    open_init(2);
    CHECK_EQ(ASIPulseGuideOn(2, ASI_GUIDE_NORTH), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIPulseGuideOn(0, static_cast<ASI_GUIDE_DIRECTION>(4)), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIPulseGuideOn(0, ASI_GUIDE_WEST), ASI_SUCCESS);
    CHECK_EQ(ASIPulseGuideOff(0, ASI_GUIDE_WEST), ASI_SUCCESS);
    // Modes on a trigger camera.
    ASI_SUPPORTED_MODE modes;
    CHECK_EQ(ASIGetCameraSupportMode(0, &modes), ASI_SUCCESS);
    CHECK_EQ(modes.SupportedCameraMode[0], ASI_MODE_NORMAL);
    CHECK_EQ(modes.SupportedCameraMode[7], ASI_MODE_END);
    CHECK_EQ(ASISetCameraMode(0, ASI_MODE_TRIG_SOFT_EDGE), ASI_SUCCESS);
    CHECK_EQ(ASISetCameraMode(0, static_cast<ASI_CAMERA_MODE>(7)), ASI_ERROR_INVALID_MODE);
    CHECK_EQ(ASISetTriggerOutputIOConf(0, ASI_TRIG_OUTPUT_PINB, ASI_FALSE, 100, 2000), ASI_SUCCESS);
    ASI_BOOL high;
    long delay, duration;
    CHECK_EQ(ASIGetTriggerOutputIOConf(0, ASI_TRIG_OUTPUT_PINB, &high, &delay, &duration),
             ASI_SUCCESS);
    CHECK(high == ASI_FALSE && delay == 100 && duration == 2000);
    CHECK_EQ(ASISetTriggerOutputIOConf(0, ASI_TRIG_OUTPUT_NONE, ASI_FALSE, 0, 0),
             ASI_ERROR_GENERAL_ERROR);
    // GPS camera: time from the clock, the configured site.
    CHECK_EQ(ASIGPSGetData(2, &start, &end), ASI_SUCCESS);
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    CHECK_EQ(start.Datetime.Year, utc.tm_year + 1900);
    CHECK(start.SatelliteNum > 0 && start.Latitude != 0);
    CHECK(start.Datetime.Msecond >= 0 && start.Datetime.Msecond < 1000);
}

PASSES_BAD_ENUMS void test_region() {
    open_init(0);
    CHECK_EQ(ASISetROIFormat(0, 4096, 2160, 1, ASI_IMG_RAW16), ASI_SUCCESS);
    int x, y;
    ASIGetStartPos(0, &x, &y);
    CHECK(x == (4144 - 4096) / 2 && y == (2822 - 2160) / 2);
    CHECK_EQ(ASISetStartPos(0, 48, 662), ASI_SUCCESS);
    CHECK_EQ(ASISetStartPos(0, 49, 0), ASI_ERROR_OUTOF_BOUNDARY);
    CHECK_EQ(ASISetStartPos(0, -1, 0), ASI_ERROR_OUTOF_BOUNDARY);
    struct Case {
        int w, h, bin;
        ASI_IMG_TYPE type;
        ASI_ERROR_CODE status;
    } cases[] = {
        {1032, 704, 4, ASI_IMG_RAW8, ASI_SUCCESS},
        {1040, 704, 4, ASI_IMG_RAW8, ASI_ERROR_INVALID_SIZE},
        {1376, 940, 3, ASI_IMG_Y8, ASI_SUCCESS},
        {644, 480, 1, ASI_IMG_RAW8, ASI_ERROR_INVALID_SIZE},
        {640, 481, 1, ASI_IMG_RAW8, ASI_ERROR_INVALID_SIZE},
        {0, 480, 1, ASI_IMG_RAW8, ASI_ERROR_INVALID_SIZE},
        {640, 480, 5, ASI_IMG_RAW8, ASI_ERROR_INVALID_SIZE},
        {640, 480, 1, ASI_IMG_RGB24, ASI_ERROR_INVALID_IMGTYPE},
        {640, 480, 1, static_cast<ASI_IMG_TYPE>(9), ASI_ERROR_INVALID_IMGTYPE},
    };
    for (const Case& c : cases)
        CHECK_EQ(ASISetROIFormat(0, c.w, c.h, c.bin, c.type), c.status);
    int w, h, bin;
    ASI_IMG_TYPE type;
    ASIGetROIFormat(0, &w, &h, &bin, &type);
    CHECK(w == 1376 && h == 940 && bin == 3 && type == ASI_IMG_Y8);
    ASIInitCamera(0);
    ASIGetROIFormat(0, &w, &h, &bin, &type);
    CHECK(w == 4144 && h == 2822 && bin == 1 && type == ASI_IMG_RAW8);
}

void test_images() {
    asisim_set_fast_frames(0);
    open_init(0);
    ASISetControlValue(0, ASI_EXPOSURE, 1000, ASI_FALSE);
    // Sizes per format, and bytes past the image left alone.
    for (ASI_IMG_TYPE type : {ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_Y8}) {
        ASISetROIFormat(0, 320, 240, 2, type);
        long size = asisim::image_bytes(320, 240, type);
        std::vector<unsigned char> buffer(size + 16, 0xAB);
        ASIStartExposure(0, ASI_FALSE);
        wait_exposure(0);
        CHECK_EQ(ASIGetDataAfterExp(0, buffer.data(), size - 1), ASI_ERROR_BUFFER_TOO_SMALL);
        CHECK_EQ(ASIGetDataAfterExp(0, buffer.data(), size + 16), ASI_SUCCESS);
        CHECK(buffer[size] == 0xAB && buffer[size + 15] == 0xAB);
        ASI_EXPOSURE_STATUS status;
        ASIGetExpStatus(0, &status);
        CHECK_EQ(status, ASI_EXP_IDLE);
    }
    // RAW16 of a 14-bit sensor is left-aligned: the two low bits are zero.
    ASISetROIFormat(0, 512, 512, 1, ASI_IMG_RAW16);
    auto light = snap(0, 512 * 512 * 2, false);
    bool aligned = true;
    for (std::size_t i = 0; i < light.size(); i += 2)
        aligned = aligned && (light[i] & 3) == 0;
    CHECK(aligned);
    // Dark frames lack the sky and stars.
    ASISetControlValue(0, ASI_EXPOSURE, 2000000, ASI_FALSE);
    asisim_set_fast_frames(1);
    auto bright = snap(0, 512 * 512 * 2, false);
    auto dark = snap(0, 512 * 512 * 2, true);
    CHECK(mean_u16(bright) > mean_u16(dark) + 20);
    // Dark subtraction from a BMP of the sensor's size.
    std::string path = checks::temporary_path("dark.bmp");
    // Level 1 of 255 is 64 ADU of the 14-bit sensor, 256 of the 16-bit output.
    write_bmp(path, 4144, 2822, 8, 1);
    CHECK_EQ(ASIEnableDarkSubtract(0, path.data()), ASI_SUCCESS);
    auto subtracted = snap(0, 512 * 512 * 2, true);
    CHECK(std::abs(mean_u16(dark) - mean_u16(subtracted) - 256) < 8);
    CHECK_EQ(ASIDisableDarkSubtract(0), ASI_SUCCESS);
    write_bmp(path, 4144, 2822, 24, 20);
    CHECK_EQ(ASIEnableDarkSubtract(0, path.data()), ASI_SUCCESS);
    write_bmp(path, 640, 480, 8, 20);
    CHECK_EQ(ASIEnableDarkSubtract(0, path.data()), ASI_ERROR_INVALID_FILEFORMAT);
    std::ofstream(path) << "not a bitmap";
    CHECK_EQ(ASIEnableDarkSubtract(0, path.data()), ASI_ERROR_INVALID_FILEFORMAT);
    std::remove(path.c_str());
    CHECK_EQ(ASIEnableDarkSubtract(0, path.data()), ASI_ERROR_INVALID_PATH);
    char endless[] = "/dev/zero";
    CHECK_EQ(ASIEnableDarkSubtract(0, endless), ASI_ERROR_INVALID_FILEFORMAT);
    char directory[] = "/tmp";
    CHECK_EQ(ASIEnableDarkSubtract(0, directory), ASI_ERROR_INVALID_PATH);
    CHECK_EQ(ASIEnableDarkSubtract(0, nullptr), ASI_ERROR_INVALID_PATH);
    asisim_set_fast_frames(0);
}

void test_video() {
    open_init(0);
    ASISetROIFormat(0, 640, 480, 1, ASI_IMG_RAW8);
    ASISetControlValue(0, ASI_EXPOSURE, 5000000, ASI_FALSE);
    std::vector<unsigned char> buffer(640 * 480);
    CHECK_EQ(ASIStartVideoCapture(0), ASI_SUCCESS);
    CHECK_EQ(ASIGetVideoData(0, buffer.data(), 640 * 480, 0), ASI_ERROR_TIMEOUT);
    CHECK_EQ(ASIGetVideoData(0, buffer.data(), 640 * 480 - 1, 0), ASI_ERROR_BUFFER_TOO_SMALL);
    // A stop or a close from another thread releases a reader that would wait forever.
    for (auto release : {ASIStopVideoCapture, ASICloseCamera}) {
        ASIStartVideoCapture(0);
        std::thread releaser([release] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            release(0);
        });
        CHECK_EQ(ASIGetVideoData(0, buffer.data(), 640 * 480, -1), ASI_ERROR_INVALID_SEQUENCE);
        releaser.join();
    }
    // A reader slower than the camera loses frames, and they are counted.
    open_init(0);
    ASISetROIFormat(0, 640, 480, 1, ASI_IMG_RAW8);
    ASISetControlValue(0, ASI_EXPOSURE, 1000, ASI_FALSE);
    ASIStartVideoCapture(0);
    CHECK_EQ(ASIGetVideoData(0, buffer.data(), 640 * 480, 2000), ASI_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CHECK_EQ(ASIGetVideoData(0, buffer.data(), 640 * 480, 2000), ASI_SUCCESS);
    int dropped = 0;
    ASIGetDroppedFrames(0, &dropped);
    CHECK(dropped > 0);
    ASIStopVideoCapture(0);
    ASIStartVideoCapture(0);
    ASIGetDroppedFrames(0, &dropped);
    CHECK_EQ(dropped, 0);
    ASIStopVideoCapture(0);
    // Soft edge triggers: one frame per trigger.
    ASISetCameraMode(0, ASI_MODE_TRIG_SOFT_EDGE);
    ASIStartVideoCapture(0);
    CHECK_EQ(ASIGetVideoData(0, buffer.data(), 640 * 480, 50), ASI_ERROR_TIMEOUT);
    ASISendSoftTrigger(0, ASI_TRUE);
    CHECK_EQ(ASIGetVideoData(0, buffer.data(), 640 * 480, 2000), ASI_SUCCESS);
    ASIStopVideoCapture(0);
    // Fast frames are there at once.
    asisim_set_fast_frames(1);
    ASISetCameraMode(0, ASI_MODE_NORMAL);
    ASISetControlValue(0, ASI_EXPOSURE, 60000000, ASI_FALSE);
    ASIStartVideoCapture(0);
    for (int i = 0; i < 100; ++i)
        CHECK_EQ(ASIGetVideoData(0, buffer.data(), 640 * 480, 0), ASI_SUCCESS);
    asisim_set_fast_frames(0);
    ASICloseCamera(0);
}

void test_control_interface() {
    // Off: nothing is recorded.
    ASIGetNumOfConnectedCameras();
    CHECK(journal().empty());
    asisim_journal_enable(1);
    long value;
    ASI_ID id{{1, 2, 3, 4, 5, 6, 7, 8}};
    char path[] = "/tmp";
    unsigned char byte;
    ASIGetControlValue(0, ASI_EXPOSURE, &value, nullptr);
    ASIGetVideoData(0, &byte, 0, 100);
    ASIEnableDarkSubtract(0, path);
    ASISetID(0, id);
    ASIGetNumOfConnectedCameras();
    CHECK_EQ(
        journal(),
        std::string("ASIGetControlValue\tiCameraID=0\tControlType=1\tplValue=ptr\tpbAuto=null\n"
                    "ASIGetVideoData\tiCameraID=0\tpBuffer=ptr\tlBuffSize=0\tiWaitms=100\n"
                    "ASIEnableDarkSubtract\tiCameraID=0\tpcBMPPath=hex:2f746d70\n"
                    "ASISetID\tiCameraID=0\tID=hex:0102030405060708\n"
                    "ASIGetNumOfConnectedCameras\n"));
    char small[4];
    CHECK(asisim_journal_read(small, sizeof small) > sizeof small);
    asisim_journal_clear();
    CHECK(journal().empty());
    // Forced statuses: once, always, cancelled; the forced call does no work.
    CHECK_EQ(asisim_force_status("ASIOpenCamera", ASI_ERROR_CAMERA_REMOVED, 1), 0);
    CHECK_EQ(ASIOpenCamera(0), ASI_ERROR_CAMERA_REMOVED);
    CHECK_EQ(ASIGetNumOfControls(0, reinterpret_cast<int*>(&value)), ASI_ERROR_CAMERA_CLOSED);
    CHECK_EQ(ASIOpenCamera(0), ASI_SUCCESS);
    asisim_force_status("ASIGetNumOfConnectedCameras", 42, -1);
    CHECK_EQ(ASIGetNumOfConnectedCameras(), 42);
    CHECK_EQ(ASIGetNumOfConnectedCameras(), 42);
    asisim_force_status("ASIGetNumOfConnectedCameras", 0, 0);
    CHECK_EQ(ASIGetNumOfConnectedCameras(), 3);
    asisim_force_status("ASICameraCheck", 1, 1);
    CHECK_EQ(ASICameraCheck(0, 0), ASI_TRUE);
    CHECK_EQ(asisim_force_status("NoSuchFunction", 0, 1), -1);
    // Scripted outputs, cut to the output's size.
    long scripted = 0x1122334455667788L;
    CHECK_EQ(asisim_script_output("ASIGetControlValue", 0, &scripted, sizeof scripted), 0);
    CHECK_EQ(asisim_script_output("ASIGetControlValue", 2, &scripted, sizeof scripted), -1);
    CHECK_EQ(asisim_script_output("ASIEnableDarkSubtract", 0, &scripted, 1), -1);
    ASI_BOOL automatic;
    asisim_force_status("ASIGetControlValue", ASI_ERROR_TIMEOUT, 1);
    CHECK_EQ(ASIGetControlValue(0, ASI_GAIN, &value, &automatic), ASI_ERROR_TIMEOUT);
    CHECK_EQ(value, scripted);
    unsigned char image[8] = {0};
    unsigned char pattern[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    asisim_script_output("ASIGetVideoData", 0, pattern, sizeof pattern);
    ASIGetVideoData(0, image, 3, 0);
    CHECK(image[2] == 9 && image[3] == 0);
    asisim_clear_scripts();
    // Version text and camera info overrides.
    asisim_set_sdk_version("x\0y", 3);
    CHECK(std::memcmp(ASIGetSDKVersion(), "x\0y", 4) == 0);
    asisim_set_sdk_version(nullptr, -1);
    CHECK(ASIGetSDKVersion() == nullptr);
    ASI_CAMERA_INFO info{};
    std::strcpy(info.Name, "Renamed");
    CHECK_EQ(asisim_set_camera_info(1, &info, 64), 0);
    ASI_CAMERA_INFO read;
    ASIGetCameraProperty(&read, 1);
    CHECK(std::strcmp(read.Name, "Renamed") == 0 && read.MaxWidth == 1936);
    CHECK_EQ(asisim_set_camera_info(5, &info, 64), -1);
    asisim_reset();
    CHECK(journal().empty());
    CHECK(std::strcmp(ASIGetSDKVersion(), "1, 37, 0, sim") == 0);
}

void test_config() {
    std::string path = checks::temporary_path("config.json");
    std::ofstream(path) << R"({"cameras": [{"model": "color_guide", "name": "Wide", "width": 800,
        "height": 600}], "site": {"latitude": -33.9}, "fast_frames": true})";
    CHECK_EQ(asisim_load_config(path.c_str()), 0);
    CHECK_EQ(ASIGetNumOfConnectedCameras(), 1);
    ASI_CAMERA_INFO info;
    ASIGetCameraProperty(&info, 0);
    CHECK(std::strcmp(info.Name, "Wide") == 0 && info.MaxWidth == 800 && info.IsColorCam);
    std::ofstream(path) << R"({"cameras": [{"model": "color_guide", "widht": 800}]})";
    CHECK_EQ(asisim_load_config(path.c_str()), -1);
    std::string error = asisim_last_error();
    CHECK(error.find(path) != std::string::npos && error.find("widht") != std::string::npos);
    CHECK_EQ(ASIGetNumOfConnectedCameras(), 1); // a failed load changes nothing
    std::ofstream(path) << "{";
    CHECK_EQ(asisim_load_config(path.c_str()), -1);
    CHECK_EQ(asisim_load_config("/nonexistent/config.json"), -1);
    CHECK_EQ(asisim_load_config(nullptr), 0);
    CHECK_EQ(ASIGetNumOfConnectedCameras(), 3);
    std::remove(path.c_str());
}

// Every function with null output pointers: a status, never a crash.
void test_null_outputs() {
    open_init(2);
    ASIStartVideoCapture(2);
    CHECK_EQ(ASIGetCameraPropertyByID(2, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetID(2, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetSerialNumber(2, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetNumOfControls(2, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetControlCaps(2, 0, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetROIFormat(2, nullptr, nullptr, nullptr, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetStartPos(2, nullptr, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetExpStatus(2, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetVideoData(2, nullptr, 100000000, 0), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetVideoDataGPS(2, nullptr, 100000000, 0, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetDroppedFrames(2, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetGainOffset(2, nullptr, nullptr, nullptr, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetLMHGainOffset(2, nullptr, nullptr, nullptr, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetCameraSupportMode(2, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetCameraMode(2, nullptr), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetTriggerOutputIOConf(2, ASI_TRIG_OUTPUT_PINA, nullptr, nullptr, nullptr),
             ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGPSGetData(2, nullptr, nullptr), ASI_ERROR_GENERAL_ERROR);
    ASIStopVideoCapture(2);
    asisim_set_fast_frames(1);
    ASIStartExposure(2, ASI_FALSE);
    wait_exposure(2);
    CHECK_EQ(ASIGetDataAfterExp(2, nullptr, 100000000), ASI_ERROR_GENERAL_ERROR);
    CHECK_EQ(ASIGetDataAfterExpGPS(2, nullptr, 100000000, nullptr), ASI_ERROR_GENERAL_ERROR);
    asisim_set_fast_frames(0);
}

// Unplugging and plugging back, trigger pulses, clouds.
void test_events() {
    CHECK_EQ(ASIOpenCamera(1), ASI_SUCCESS);
    CHECK_EQ(asisim_unplug(1), 0);
    CHECK_EQ(ASIGetNumOfConnectedCameras(), 2);
    ASI_CAMERA_INFO info;
    CHECK_EQ(ASIGetCameraProperty(&info, 1), ASI_SUCCESS);
    CHECK_EQ(info.CameraID, 2); // the cameras after it move down; IDs stay
    CHECK_EQ(ASIGetCameraProperty(&info, 2), ASI_ERROR_INVALID_INDEX);
    CHECK_EQ(ASIGetCameraPropertyByID(1, &info), ASI_ERROR_CAMERA_REMOVED);
    CHECK_EQ(ASIOpenCamera(1), ASI_ERROR_CAMERA_REMOVED);
    CHECK_EQ(ASIStartVideoCapture(1), ASI_ERROR_CAMERA_REMOVED);
    CHECK_EQ(ASICloseCamera(1), ASI_SUCCESS);
    CHECK_EQ(asisim_unplug(7), -1);
    CHECK_EQ(asisim_plug(1), 0);
    CHECK_EQ(ASIGetNumOfConnectedCameras(), 3);
    long value;
    ASI_BOOL automatic;
    CHECK_EQ(ASIGetControlValue(1, ASI_GAIN, &value, &automatic), ASI_ERROR_CAMERA_CLOSED);

    // A reader waiting without a limit comes back when its camera goes.
    CHECK_EQ(ASIOpenCamera(0), ASI_SUCCESS);
    CHECK_EQ(ASIInitCamera(0), ASI_SUCCESS);
    CHECK_EQ(ASISetROIFormat(0, 64, 8, 1, ASI_IMG_RAW8), ASI_SUCCESS);
    CHECK_EQ(ASISetCameraMode(0, ASI_MODE_TRIG_RISE_EDGE), ASI_SUCCESS);
    CHECK_EQ(ASIStartVideoCapture(0), ASI_SUCCESS);
    std::vector<unsigned char> frame(64 * 8);
    CHECK_EQ(ASIGetVideoData(0, frame.data(), long(frame.size()), 50), ASI_ERROR_TIMEOUT);
    CHECK_EQ(asisim_trigger_pulse(0, 100), 0);
    CHECK_EQ(ASIGetVideoData(0, frame.data(), long(frame.size()), 2000), ASI_SUCCESS);
    CHECK_EQ(asisim_trigger_pulse(1, 100), -1); // no trigger input
    std::atomic<int> status{-100};
    std::thread reader([&] { status = ASIGetVideoData(0, frame.data(), long(frame.size()), -1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CHECK_EQ(asisim_unplug(0), 0);
    reader.join();
    CHECK_EQ(status.load(), ASI_ERROR_CAMERA_REMOVED);

    // sin² falls to the transparency and back: over the whole cloud a mean half way.
    using namespace asisim;
    CHECK_EQ(asisim_pass_cloud(1.5, 1), -1);
    CHECK_EQ(asisim_pass_cloud(0.2, 0), -1);
    CHECK_EQ(asisim_pass_cloud(0.2, 10), 0);
    auto now = Clock::now();
    CHECK(std::abs(sky_transparency(now, now + to_duration(10)) - 0.6) < 0.01);
    CHECK(std::abs(sky_transparency(now + to_duration(5), now + to_duration(5)) - 0.2) < 0.01);
    CHECK_EQ(sky_transparency(now + to_duration(11), now + to_duration(12)), 1.0);
    asisim_reset();
    CHECK_EQ(sky_transparency(now, now + to_duration(10)), 1.0);
}

// Several threads on one camera while another resets: for the sanitizers to judge.
void test_concurrency() {
    open_init(0);
    ASISetROIFormat(0, 320, 240, 1, ASI_IMG_RAW8);
    ASISetControlValue(0, ASI_EXPOSURE, 2000, ASI_FALSE);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        std::vector<unsigned char> buffer(320 * 240);
        while (!stop) {
            ASIStartVideoCapture(0);
            ASIGetVideoData(0, buffer.data(), 320 * 240, 20);
            ASIStopVideoCapture(0);
        }
    });
    threads.emplace_back([&] {
        std::vector<unsigned char> buffer(320 * 240);
        while (!stop)
            ASIGetVideoData(0, buffer.data(), 320 * 240, 5);
    });
    threads.emplace_back([&] {
        long value;
        ASI_BOOL automatic;
        while (!stop) {
            ASISetControlValue(0, ASI_GAIN, 100, ASI_TRUE);
            ASIGetControlValue(0, ASI_TEMPERATURE, &value, &automatic);
            ASIPulseGuideOn(0, ASI_GUIDE_NORTH);
            ASIPulseGuideOff(0, ASI_GUIDE_NORTH);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
            asisim_journal_enable(i & 1);
            asisim_force_status("ASIGetDroppedFrames", 3, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (i % 5 == 4) {
                asisim_reset();
                open_init(0);
                ASISetROIFormat(0, 320, 240, 1, ASI_IMG_RAW8);
            }
        }
        stop = true;
    });
    for (auto& t : threads)
        t.join();
    CHECK(true);
}

// A star's light, centroid and second moments in a background-subtracted window.
struct Moments {
    double flux = 0, x = 0, y = 0, xx = 0, yy = 0;
};
Moments star_moments(const std::vector<double>& image, int width, int cx, int cy, int half,
                     double background) {
    Moments m;
    for (int pass = 0; pass < 2; ++pass)
        for (int y = cy - half; y <= cy + half; ++y)
            for (int x = cx - half; x <= cx + half; ++x) {
                double v = image[std::size_t(y) * width + x] - background;
                if (pass == 0) {
                    m.flux += v;
                    m.x += v * x;
                    m.y += v * y;
                } else {
                    m.xx += v * (x - m.x) * (x - m.x);
                    m.yy += v * (y - m.y) * (y - m.y);
                }
                if (pass == 0 && x == cx + half && y == cy + half) {
                    m.x /= m.flux;
                    m.y /= m.flux;
                }
            }
    m.xx /= m.flux;
    m.yy /= m.flux;
    return m;
}

// Stars trail along the field's path over the exposure, keeping their light.
void test_trails() {
    asisim::Config config = asisim::default_config();
    asisim::Model model = config.cameras[0];
    model.artefacts =
        asisim::SensorArtefacts{0, 0, 0, 0, false, asisim::SensorArtefacts::Column::none, 0};
    config.sky.stars_per_deg2 = 20000;
    config.sky.limiting_mag = 12;
    config.sky.brightest_mag = 8;
    asisim::Renderer renderer(model, config.sky, 0);
    asisim::FrameRequest request;
    request.width = request.height = 256;
    request.start_x = (model.width - 256) / 2;
    request.start_y = (model.height - 256) / 2;
    request.type = ASI_IMG_RAW16;
    request.gain = 0;
    request.exposure_s = 20;
    auto frame = [&](const std::vector<asisim::FieldOffset>& path) {
        request.path = path;
        std::vector<std::uint8_t> bytes(256 * 256 * 2);
        std::vector<double> image(256 * 256);
        for (int repeat = 0; repeat < 8; ++repeat) { // the mean of 8 for less noise
            renderer.render(request, bytes.data());
            for (std::size_t i = 0; i < image.size(); ++i)
                image[i] += ((bytes[2 * i] | (bytes[2 * i + 1] << 8)) >> 2) / 8.0;
        }
        return image;
    };
    std::vector<double> still = frame({{0, 0}});
    std::vector<asisim::FieldOffset> drift;
    for (int k = 0; k <= 10; ++k)
        drift.push_back({-3 + 0.6 * k, 0});
    std::vector<double> trailed = frame(drift);
    // The frame's background, and the brightest unsaturated star with no other within
    // 16 pixels (whose trail could reach into the window).
    std::vector<double> sorted = still;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    double background = sorted[sorted.size() / 2];
    auto alone = [&](int cx, int cy) {
        double peak = still[cy * 256 + cx] - background;
        for (int y = cy - 16; y <= cy + 16; ++y)
            for (int x = cx - 16; x <= cx + 16; ++x)
                if (std::max(std::abs(x - cx), std::abs(y - cy)) > 6 &&
                    still[y * 256 + x] - background > 0.02 * peak)
                    return false;
        return true;
    };
    int best = -1;
    for (int y = 30; y < 226; ++y)
        for (int x = 30; x < 226; ++x) {
            double v = still[y * 256 + x];
            if (v < 8000 && (best < 0 || v > still[best]) && alone(x, y))
                best = y * 256 + x;
        }
    CHECK(best >= 0);
    if (best < 0)
        return;
    Moments a = star_moments(still, 256, best % 256, best / 256, 10, background);
    Moments b = star_moments(trailed, 256, best % 256, best / 256, 10, background);
    // A 6-pixel trail adds 6^2 / 12 = 3 px^2 along x and nothing across.
    CHECK(std::abs(b.flux / a.flux - 1) < 0.02);
    CHECK(std::abs(b.xx - a.xx - 3) < 0.4);
    CHECK(std::abs(b.yy - a.yy) < 0.3);
    CHECK(std::abs(b.x - a.x) < 0.1);
}

} // namespace

int main() {
    const std::pair<const char*, void (*)()> tests[] = {
        {"discovery", test_discovery},
        {"sequence", test_sequence},
        {"controls", test_controls},
        {"region", test_region},
        {"images", test_images},
        {"video", test_video},
        {"control interface", test_control_interface},
        {"config", test_config},
        {"null outputs", test_null_outputs},
        {"events", test_events},
        {"concurrency", test_concurrency},
        {"trails", test_trails},
    };
    for (auto [name, test] : tests) {
        asisim_reset();
        int before = checks::failed;
        test();
        if (checks::failed != before)
            std::printf("-- %s: %d failed\n", name, checks::failed - before);
    }
    asisim_reset();
    return checks::report();
}
