// The 42 functions of ASICamera2.h over the simulated cameras.
//
// Each exported function passes through sdk_call, which does the steering of asisim.h
// (journal, forced status, scripted outputs) when any is set, and otherwise nothing
// beyond one relaxed atomic load. The work itself takes the camera's lock; nothing
// holds a lock while waiting for a frame.
//
// Statuses for situations the SDK interface leaves open:
//   * a null output pointer: ASI_ERROR_GENERAL_ERROR (after the ID and open checks);
//   * capture (exposure or video) before ASIInitCamera: ASI_ERROR_INVALID_SEQUENCE;
//   * ASIGetDataAfterExp before the snap succeeded: ASI_ERROR_GENERAL_ERROR;
//   * ASIStopExposure of a running snap: status ASI_EXP_FAILED, no data;
//   * ASIGetVideoData while no video runs, or when ASIStopVideoCapture/ASICloseCamera
//     ends the capture while it waits: ASI_ERROR_INVALID_SEQUENCE;
//   * writing a read-only control, or auto on a control without auto: ASI_ERROR_GENERAL_ERROR.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>

#include "sim.hpp"

using namespace asisim;

namespace {

// --- steering ----------------------------------------------------------------------------

struct PathText {
    const char* path;
};

std::string hex_bytes(const unsigned char* bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "hex:";
    for (std::size_t i = 0; i < n; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string journal_value(PathText text) {
    if (text.path == nullptr)
        return "null";
    return hex_bytes(reinterpret_cast<const unsigned char*>(text.path), std::strlen(text.path));
}

std::string journal_value(const ASI_ID& id) {
    return hex_bytes(id.id, sizeof id.id);
}

// Enumerations come from C callers (and fuzzers) with any int value. Reading one outside
// its enumerators' range as the C++ enum type is undefined, so only its bits are read.
template <class E> int raw(const E& value) {
    static_assert(std::is_enum_v<E> && sizeof(E) == sizeof(int));
    int bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

template <class T> std::string journal_value(const T& value) {
    if constexpr (std::is_pointer_v<T>)
        return value == nullptr ? "null" : "ptr";
    else if constexpr (std::is_enum_v<T>)
        return std::to_string(raw(value));
    else
        return std::to_string(static_cast<long long>(value));
}

template <class T> Output out(T* p) {
    return Output{p, sizeof(T)};
}
Output out_buffer(unsigned char* p, long size) {
    return Output{p, size > 0 ? static_cast<std::size_t>(size) : 0};
}

template <class Work, class... Args>
auto sdk_call(Fn fn, std::initializer_list<Output> outputs, Work&& work, const Args&... args)
    -> decltype(work()) {
    using Result = decltype(work());
    unsigned bits = steering.load(std::memory_order_relaxed);
    if (bits == 0) [[likely]]
        return work();
    if (bits & kJournalOn)
        journal_call(fn, {journal_value(args)...});
    Result result;
    int forced = 0;
    if constexpr (std::is_pointer_v<Result>) {
        result = work(); // the version text has no status to force
    } else {
        if ((bits & kForcedSet) && take_forced(fn, forced))
            result = static_cast<Result>(forced);
        else
            result = work();
    }
    if (bits & kScriptsSet)
        write_scripts(fn, outputs);
    return result;
}

// --- helpers -----------------------------------------------------------------------------

template <class F> ASI_ERROR_CODE with_open(int id, F&& f) {
    CameraLock c = lock_camera(id);
    if (!c)
        return ASI_ERROR_INVALID_ID;
    if (!c->open)
        return ASI_ERROR_CAMERA_CLOSED;
    return f(c);
}

template <class... P> bool any_null(P*... p) {
    return ((p == nullptr) || ...);
}

// A snap turns from working to done once its time is up.
void advance_exposure(Camera& c) {
    if (c.exposure_status == ASI_EXP_WORKING && Clock::now() >= c.exposure_end)
        c.exposure_status = ASI_EXP_SUCCESS;
}

bool exposing(Camera& c) {
    advance_exposure(c);
    return c.exposure_status == ASI_EXP_WORKING;
}

bool fast_frames() {
    return simulator().fast_frames.load(std::memory_order_relaxed);
}

ASI_ERROR_CODE get_property(int index, ASI_CAMERA_INFO* info, ASI_ERROR_CODE missing) {
    CameraLock c = lock_camera(index);
    if (!c)
        return missing;
    if (info == nullptr)
        return ASI_ERROR_GENERAL_ERROR;
    *info = c->info;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE get_data_after_exp(int id, unsigned char* buffer, long size, ASI_GPS_DATA* gps,
                                  bool want_gps) {
    CameraLock c = lock_camera(id);
    if (!c)
        return ASI_ERROR_INVALID_ID;
    if (!c->open)
        return ASI_ERROR_CAMERA_CLOSED;
    advance_exposure(*c.camera);
    if (c->exposure_status != ASI_EXP_SUCCESS)
        return ASI_ERROR_GENERAL_ERROR;
    if (buffer == nullptr || (want_gps && gps == nullptr))
        return ASI_ERROR_GENERAL_ERROR;
    const Region& region = c->region;
    long needed = image_bytes(region.width, region.height, region.type);
    if (size < needed)
        return ASI_ERROR_BUFFER_TOO_SMALL;
    // Stars sit where the field was half way through the exposure; a fast-frames exposure
    // took no time, but its image shows the exposure set.
    double exposure_s = std::chrono::duration<double>(c->exposure_end - c->exposure_start).count();
    auto middle = c->exposure_start + (c->exposure_end - c->exposure_start) / 2;
    if (exposure_s == 0)
        exposure_s = c->value(ASI_EXPOSURE) * 1e-6;
    FrameRequest request = c->frame_request(exposure_s, c->exposure_dark, middle);
    std::uint64_t sequence = c->exposure_sequence;
    auto started = c->exposure_wall_start;
    std::shared_ptr<Renderer> renderer = c->renderer;
    // Rendering a full frame takes a while: other calls on this camera go on meanwhile.
    c.lock.unlock();
    if (fast_frames()) {
        auto frame = renderer->cached_frame(request);
        std::memcpy(buffer, frame->data(), frame->size());
    } else {
        renderer->render(request, buffer);
    }
    c.lock.lock();
    if (c->exposure_sequence == sequence && c->exposure_status == ASI_EXP_SUCCESS)
        c->exposure_status = ASI_EXP_IDLE;
    if (want_gps)
        fill_gps(*c.camera, started, gps);
    return ASI_SUCCESS;
}

ASI_ERROR_CODE get_video_data(int id, unsigned char* buffer, long size, int wait_ms,
                              ASI_GPS_DATA* gps, bool want_gps) {
    CameraLock c = lock_camera(id);
    if (!c)
        return ASI_ERROR_INVALID_ID;
    Camera& cam = *c.camera;
    if (!cam.open)
        return ASI_ERROR_CAMERA_CLOSED;
    if (!cam.video)
        return ASI_ERROR_INVALID_SEQUENCE;
    if (buffer == nullptr || (want_gps && gps == nullptr))
        return ASI_ERROR_GENERAL_ERROR;
    long needed = image_bytes(cam.region.width, cam.region.height, cam.region.type);
    if (size < needed)
        return ASI_ERROR_BUFFER_TOO_SMALL;

    if (fast_frames()) {
        FrameRequest request =
            cam.frame_request(cam.value(ASI_EXPOSURE) * 1e-6, false, Clock::now());
        std::shared_ptr<Renderer> renderer = cam.renderer;
        c.lock.unlock();
        auto frame = renderer->cached_frame(request);
        std::memcpy(buffer, frame->data(), frame->size());
        c.lock.lock();
        if (want_gps)
            fill_gps(cam, std::chrono::system_clock::now(), gps);
        return ASI_SUCCESS;
    }

    std::uint64_t generation = cam.video_generation;
    auto ready = [&] {
        return !cam.ring.empty() || !cam.video || cam.video_generation != generation;
    };
    if (wait_ms < 0)
        cam.frame_ready.wait(c.lock, ready);
    else
        cam.frame_ready.wait_for(c.lock, std::chrono::milliseconds(wait_ms), ready);
    if (!cam.video || cam.video_generation != generation)
        return ASI_ERROR_INVALID_SEQUENCE; // stopped (or closed) while we waited
    if (cam.ring.empty())
        return ASI_ERROR_TIMEOUT;
    Frame frame = std::move(cam.ring.front());
    cam.ring.pop_front();
    c.lock.unlock();
    std::memcpy(buffer, frame.data.data(), std::min<std::size_t>(frame.data.size(), size));
    c.lock.lock();
    if (cam.video_generation == generation && cam.spare_buffers.size() < 4)
        cam.spare_buffers.push_back(std::move(frame.data));
    if (want_gps)
        fill_gps(cam, frame.started, gps);
    return ASI_SUCCESS;
}

ASI_ERROR_CODE pulse_guide(int id, int d, bool on) {
    return with_open(id, [&](CameraLock& c) {
        if (!c->model->st4)
            return ASI_ERROR_GENERAL_ERROR;
        if (d < 0 || d > 3)
            return ASI_ERROR_GENERAL_ERROR;
        auto now = Clock::now();
        if (on && !c->pulse_on[d]) {
            c->pulse_on[d] = true;
            c->pulse_start[d] = now;
        } else if (!on) {
            end_pulse(*c.camera, d, now);
        }
        return ASI_SUCCESS;
    });
}

bool valid_mode(int mode) {
    return mode >= ASI_MODE_NORMAL && mode <= ASI_MODE_TRIG_LOW_LEVEL;
}

} // namespace

extern "C" {

// --- discovery -----------------------------------------------------------------------------

ASICAMERA_API int ASIGetNumOfConnectedCameras(void) {
    return sdk_call(Fn::GetNumOfConnectedCameras, {},
                    [] { return simulator().count.load(std::memory_order_acquire); });
}

ASICAMERA_API ASI_ERROR_CODE ASIGetCameraProperty(ASI_CAMERA_INFO* pASICameraInfo,
                                                  int iCameraIndex) {
    return sdk_call(
        Fn::GetCameraProperty, {out(pASICameraInfo)},
        [&] { return get_property(iCameraIndex, pASICameraInfo, ASI_ERROR_INVALID_INDEX); },
        pASICameraInfo, iCameraIndex);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetCameraPropertyByID(int iCameraID,
                                                      ASI_CAMERA_INFO* pASICameraInfo) {
    return sdk_call(
        Fn::GetCameraPropertyByID, {out(pASICameraInfo)},
        [&] { return get_property(iCameraID, pASICameraInfo, ASI_ERROR_INVALID_ID); }, iCameraID,
        pASICameraInfo);
}

ASICAMERA_API ASI_BOOL ASICameraCheck(int iVID, int iPID) {
    return sdk_call(
        Fn::CameraCheck, {},
        [&] {
            if (iVID != kVendorId)
                return ASI_FALSE;
            if (iPID == 0x5301 || iPID == 0x5302 || iPID == 0x5303)
                return ASI_TRUE;
            Simulator& sim = simulator();
            std::lock_guard lock(sim.config_mutex);
            for (const Model& m : sim.config.cameras)
                if (m.product_id == iPID)
                    return ASI_TRUE;
            return ASI_FALSE;
        },
        iVID, iPID);
}

ASICAMERA_API const char* ASIGetSDKVersion(void) {
    return sdk_call(Fn::GetSDKVersion, {}, [] { return sdk_version(); });
}

// --- lifecycle -----------------------------------------------------------------------------

ASICAMERA_API ASI_ERROR_CODE ASIOpenCamera(int iCameraID) {
    return sdk_call(
        Fn::OpenCamera, {},
        [&] {
            CameraLock c = lock_camera(iCameraID);
            if (!c)
                return ASI_ERROR_INVALID_ID;
            if (!c->open) {
                c->update_thermal(Clock::now());
                reset_camera_settings(*c.camera);
                c->open = true;
                c->initialised = false;
            }
            return ASI_SUCCESS;
        },
        iCameraID);
}

ASICAMERA_API ASI_ERROR_CODE ASIInitCamera(int iCameraID) {
    return sdk_call(
        Fn::InitCamera, {},
        [&] {
            return with_open(iCameraID, [](CameraLock& c) {
                if (c->video)
                    return ASI_ERROR_VIDEO_MODE_ACTIVE;
                if (exposing(*c.camera))
                    return ASI_ERROR_EXPOSURE_IN_PROGRESS;
                c->region = Region{c->model->width, c->model->height, 1, ASI_IMG_RAW8, 0, 0};
                c->initialised = true;
                return ASI_SUCCESS;
            });
        },
        iCameraID);
}

ASICAMERA_API ASI_ERROR_CODE ASICloseCamera(int iCameraID) {
    return sdk_call(
        Fn::CloseCamera, {},
        [&] {
            CameraLock c = lock_camera(iCameraID);
            if (!c)
                return ASI_ERROR_INVALID_ID;
            if (c->open)
                close_camera(c);
            return ASI_SUCCESS;
        },
        iCameraID);
}

// --- identity ------------------------------------------------------------------------------

ASICAMERA_API ASI_ERROR_CODE ASIGetID(int iCameraID, ASI_ID* pID) {
    return sdk_call(
        Fn::GetID, {out(pID)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (pID == nullptr)
                    return ASI_ERROR_GENERAL_ERROR;
                *pID = c->id;
                return ASI_SUCCESS;
            });
        },
        iCameraID, pID);
}

ASICAMERA_API ASI_ERROR_CODE ASISetID(int iCameraID, ASI_ID ID) {
    return sdk_call(
        Fn::SetID, {},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                c->id = ID;
                return ASI_SUCCESS;
            });
        },
        iCameraID, ID);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetSerialNumber(int iCameraID, ASI_SN* pSN) {
    return sdk_call(
        Fn::GetSerialNumber, {out(pSN)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (pSN == nullptr)
                    return ASI_ERROR_GENERAL_ERROR;
                std::memcpy(pSN->id, c->model->serial.data(), sizeof pSN->id);
                return ASI_SUCCESS;
            });
        },
        iCameraID, pSN);
}

// --- controls ------------------------------------------------------------------------------

ASICAMERA_API ASI_ERROR_CODE ASIGetNumOfControls(int iCameraID, int* piNumberOfControls) {
    return sdk_call(
        Fn::GetNumOfControls, {out(piNumberOfControls)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (piNumberOfControls == nullptr)
                    return ASI_ERROR_GENERAL_ERROR;
                *piNumberOfControls = static_cast<int>(c->controls.size());
                return ASI_SUCCESS;
            });
        },
        iCameraID, piNumberOfControls);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetControlCaps(int iCameraID, int iControlIndex,
                                               ASI_CONTROL_CAPS* pControlCaps) {
    return sdk_call(
        Fn::GetControlCaps, {out(pControlCaps)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (iControlIndex < 0 || iControlIndex >= static_cast<int>(c->controls.size()))
                    return ASI_ERROR_INVALID_CONTROL_TYPE;
                if (pControlCaps == nullptr)
                    return ASI_ERROR_GENERAL_ERROR;
                const ControlDef& def = c->controls[iControlIndex];
                ASI_CONTROL_CAPS caps;
                std::memset(&caps, 0, sizeof caps);
                std::strncpy(caps.Name, def.name, sizeof caps.Name - 1);
                std::strncpy(caps.Description, def.description, sizeof caps.Description - 1);
                caps.MaxValue = def.max;
                caps.MinValue = def.min;
                caps.DefaultValue = def.def;
                caps.IsAutoSupported = def.auto_supported ? ASI_TRUE : ASI_FALSE;
                caps.IsWritable = def.writable ? ASI_TRUE : ASI_FALSE;
                caps.ControlType = def.type;
                *pControlCaps = caps;
                return ASI_SUCCESS;
            });
        },
        iCameraID, iControlIndex, pControlCaps);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType,
                                                long* plValue, ASI_BOOL* pbAuto) {
    return sdk_call(
        Fn::GetControlValue, {out(plValue), out(pbAuto)},
        [&] {
            int type = raw(ControlType);
            return with_open(iCameraID, [&](CameraLock& c) {
                if (c->control(type) == nullptr)
                    return ASI_ERROR_INVALID_CONTROL_TYPE;
                if (any_null(plValue, pbAuto))
                    return ASI_ERROR_GENERAL_ERROR;
                long value = c->values[type];
                if (type == ASI_TEMPERATURE || type == ASI_COOLER_POWER_PERC) {
                    c->update_thermal(Clock::now());
                    value = type == ASI_TEMPERATURE ? std::lround(c->temperature_c * 10)
                                                    : std::lround(c->cooler_power);
                }
                *plValue = value;
                *pbAuto = c->autos[type] ? ASI_TRUE : ASI_FALSE;
                return ASI_SUCCESS;
            });
        },
        iCameraID, ControlType, plValue, pbAuto);
}

ASICAMERA_API ASI_ERROR_CODE ASISetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType,
                                                long lValue, ASI_BOOL bAuto) {
    return sdk_call(
        Fn::SetControlValue, {},
        [&] {
            int type = raw(ControlType);
            bool automatic = raw(bAuto) != 0;
            return with_open(iCameraID, [&](CameraLock& c) {
                const ControlDef* def = c->control(type);
                if (def == nullptr)
                    return ASI_ERROR_INVALID_CONTROL_TYPE;
                if (!def->writable || (automatic && !def->auto_supported))
                    return ASI_ERROR_GENERAL_ERROR;
                if (lValue < def->min || lValue > def->max)
                    return ASI_ERROR_GENERAL_ERROR;
                if (type == ASI_COOLER_ON || type == ASI_TARGET_TEMP)
                    c->update_thermal(Clock::now()); // the old setting ran until now
                c->values[type] = lValue;
                c->autos[type] = automatic;
                // A waiting video thread re-plans its next frame with the new setting.
                c->producer_wake.notify_all();
                return ASI_SUCCESS;
            });
        },
        iCameraID, ControlType, lValue, bAuto);
}

// --- region of interest ----------------------------------------------------------------------

ASICAMERA_API ASI_ERROR_CODE ASISetROIFormat(int iCameraID, int iWidth, int iHeight, int iBin,
                                             ASI_IMG_TYPE Img_type) {
    return sdk_call(
        Fn::SetROIFormat, {},
        [&] {
            int type = raw(Img_type);
            return with_open(iCameraID, [&](CameraLock& c) {
                if (c->video)
                    return ASI_ERROR_VIDEO_MODE_ACTIVE;
                if (exposing(*c.camera))
                    return ASI_ERROR_EXPOSURE_IN_PROGRESS;
                const Model& m = *c->model;
                if (std::find(m.bins.begin(), m.bins.end(), iBin) == m.bins.end())
                    return ASI_ERROR_INVALID_SIZE;
                int max_width = m.width / iBin, max_height = m.height / iBin;
                if (iWidth <= 0 || iHeight <= 0 || iWidth % 8 != 0 || iHeight % 2 != 0 ||
                    iWidth > max_width || iHeight > max_height)
                    return ASI_ERROR_INVALID_SIZE;
                if (std::find(m.formats.begin(), m.formats.end(), type) == m.formats.end())
                    return ASI_ERROR_INVALID_IMGTYPE;
                Region& r = c->region;
                r.width = iWidth;
                r.height = iHeight;
                r.bin = iBin;
                r.type = static_cast<ASI_IMG_TYPE>(type);
                // The camera centres a new region; even coordinates keep the Bayer phase.
                int even = m.color ? ~1 : ~0;
                r.start_x = ((max_width - iWidth) / 2) & even;
                r.start_y = ((max_height - iHeight) / 2) & even;
                return ASI_SUCCESS;
            });
        },
        iCameraID, iWidth, iHeight, iBin, Img_type);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetROIFormat(int iCameraID, int* piWidth, int* piHeight, int* piBin,
                                             ASI_IMG_TYPE* pImg_type) {
    return sdk_call(
        Fn::GetROIFormat, {out(piWidth), out(piHeight), out(piBin), out(pImg_type)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (any_null(piWidth, piHeight, piBin, pImg_type))
                    return ASI_ERROR_GENERAL_ERROR;
                *piWidth = c->region.width;
                *piHeight = c->region.height;
                *piBin = c->region.bin;
                *pImg_type = c->region.type;
                return ASI_SUCCESS;
            });
        },
        iCameraID, piWidth, piHeight, piBin, pImg_type);
}

ASICAMERA_API ASI_ERROR_CODE ASISetStartPos(int iCameraID, int iStartX, int iStartY) {
    return sdk_call(
        Fn::SetStartPos, {},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                Region& r = c->region;
                long max_width = c->model->width / r.bin, max_height = c->model->height / r.bin;
                if (iStartX < 0 || iStartY < 0 || long(iStartX) + r.width > max_width ||
                    long(iStartY) + r.height > max_height)
                    return ASI_ERROR_OUTOF_BOUNDARY;
                // Colour sensors move in steps of the 2x2 Bayer cell.
                r.start_x = c->model->color ? iStartX & ~1 : iStartX;
                r.start_y = c->model->color ? iStartY & ~1 : iStartY;
                return ASI_SUCCESS;
            });
        },
        iCameraID, iStartX, iStartY);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetStartPos(int iCameraID, int* piStartX, int* piStartY) {
    return sdk_call(
        Fn::GetStartPos, {out(piStartX), out(piStartY)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (any_null(piStartX, piStartY))
                    return ASI_ERROR_GENERAL_ERROR;
                *piStartX = c->region.start_x;
                *piStartY = c->region.start_y;
                return ASI_SUCCESS;
            });
        },
        iCameraID, piStartX, piStartY);
}

// --- snap exposure ---------------------------------------------------------------------------

ASICAMERA_API ASI_ERROR_CODE ASIStartExposure(int iCameraID, ASI_BOOL bIsDark) {
    return sdk_call(
        Fn::StartExposure, {},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (!c->initialised)
                    return ASI_ERROR_INVALID_SEQUENCE;
                if (c->video)
                    return ASI_ERROR_VIDEO_MODE_ACTIVE;
                if (exposing(*c.camera))
                    return ASI_ERROR_EXPOSURE_IN_PROGRESS;
                auto now = Clock::now();
                double seconds = fast_frames() ? 0 : c->value(ASI_EXPOSURE) * 1e-6;
                c->exposure_status = ASI_EXP_WORKING;
                c->exposure_start = now;
                c->exposure_end = now + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(seconds));
                c->exposure_wall_start = std::chrono::system_clock::now();
                c->exposure_dark = raw(bIsDark) != 0;
                ++c->exposure_sequence;
                return ASI_SUCCESS;
            });
        },
        iCameraID, bIsDark);
}

ASICAMERA_API ASI_ERROR_CODE ASIStopExposure(int iCameraID) {
    return sdk_call(
        Fn::StopExposure, {},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                // Stopped before its time, a snap has no image: the status says so.
                if (exposing(*c.camera)) {
                    c->exposure_status = ASI_EXP_FAILED;
                    ++c->exposure_sequence;
                }
                return ASI_SUCCESS;
            });
        },
        iCameraID);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetExpStatus(int iCameraID, ASI_EXPOSURE_STATUS* pExpStatus) {
    return sdk_call(
        Fn::GetExpStatus, {out(pExpStatus)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (pExpStatus == nullptr)
                    return ASI_ERROR_GENERAL_ERROR;
                advance_exposure(*c.camera);
                *pExpStatus = c->exposure_status;
                return ASI_SUCCESS;
            });
        },
        iCameraID, pExpStatus);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetDataAfterExp(int iCameraID, unsigned char* pBuffer,
                                                long lBuffSize) {
    return sdk_call(
        Fn::GetDataAfterExp, {out_buffer(pBuffer, lBuffSize)},
        [&] { return get_data_after_exp(iCameraID, pBuffer, lBuffSize, nullptr, false); },
        iCameraID, pBuffer, lBuffSize);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetDataAfterExpGPS(int iCameraID, unsigned char* pBuffer,
                                                   long lBuffSize, ASI_GPS_DATA* gpsData) {
    return sdk_call(
        Fn::GetDataAfterExpGPS, {out_buffer(pBuffer, lBuffSize), out(gpsData)},
        [&] { return get_data_after_exp(iCameraID, pBuffer, lBuffSize, gpsData, true); }, iCameraID,
        pBuffer, lBuffSize, gpsData);
}

// --- video ---------------------------------------------------------------------------------

ASICAMERA_API ASI_ERROR_CODE ASIStartVideoCapture(int iCameraID) {
    return sdk_call(
        Fn::StartVideoCapture, {},
        [&] {
            std::thread previous;
            ASI_ERROR_CODE status = with_open(iCameraID, [&](CameraLock& c) {
                if (!c->initialised)
                    return ASI_ERROR_INVALID_SEQUENCE;
                if (exposing(*c.camera))
                    return ASI_ERROR_EXPOSURE_IN_PROGRESS;
                if (c->video)
                    return ASI_SUCCESS; // already running
                // A thread of an earlier capture may still be finishing; it sees the new
                // generation and leaves on its own, but must be joined before its handle goes.
                previous = std::move(c->producer);
                c->video = true;
                ++c->video_generation;
                c->ring.clear();
                c->dropped = 0;
                c->soft_triggers = 0;
                c->level_exposures.clear();
                c->producer = std::thread(produce_video, c.camera, c->video_generation);
                return ASI_SUCCESS;
            });
            if (previous.joinable())
                previous.join();
            return status;
        },
        iCameraID);
}

ASICAMERA_API ASI_ERROR_CODE ASIStopVideoCapture(int iCameraID) {
    return sdk_call(
        Fn::StopVideoCapture, {},
        [&] {
            std::thread producer;
            ASI_ERROR_CODE status = with_open(iCameraID, [&](CameraLock& c) {
                producer = stop_video_locked(*c.camera);
                return ASI_SUCCESS;
            });
            if (producer.joinable())
                producer.join();
            return status;
        },
        iCameraID);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetVideoData(int iCameraID, unsigned char* pBuffer, long lBuffSize,
                                             int iWaitms) {
    return sdk_call(
        Fn::GetVideoData, {out_buffer(pBuffer, lBuffSize)},
        [&] { return get_video_data(iCameraID, pBuffer, lBuffSize, iWaitms, nullptr, false); },
        iCameraID, pBuffer, lBuffSize, iWaitms);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetVideoDataGPS(int iCameraID, unsigned char* pBuffer,
                                                long lBuffSize, int iWaitms,
                                                ASI_GPS_DATA* gpsData) {
    return sdk_call(
        Fn::GetVideoDataGPS, {out_buffer(pBuffer, lBuffSize), out(gpsData)},
        [&] { return get_video_data(iCameraID, pBuffer, lBuffSize, iWaitms, gpsData, true); },
        iCameraID, pBuffer, lBuffSize, iWaitms, gpsData);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetDroppedFrames(int iCameraID, int* piDropFrames) {
    return sdk_call(
        Fn::GetDroppedFrames, {out(piDropFrames)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (piDropFrames == nullptr)
                    return ASI_ERROR_GENERAL_ERROR;
                *piDropFrames = c->dropped;
                return ASI_SUCCESS;
            });
        },
        iCameraID, piDropFrames);
}

// --- guiding, dark subtraction, presets ------------------------------------------------------

ASICAMERA_API ASI_ERROR_CODE ASIPulseGuideOn(int iCameraID, ASI_GUIDE_DIRECTION direction) {
    return sdk_call(
        Fn::PulseGuideOn, {}, [&] { return pulse_guide(iCameraID, raw(direction), true); },
        iCameraID, direction);
}

ASICAMERA_API ASI_ERROR_CODE ASIPulseGuideOff(int iCameraID, ASI_GUIDE_DIRECTION direction) {
    return sdk_call(
        Fn::PulseGuideOff, {}, [&] { return pulse_guide(iCameraID, raw(direction), false); },
        iCameraID, direction);
}

ASICAMERA_API ASI_ERROR_CODE ASIEnableDarkSubtract(int iCameraID, char* pcBMPPath) {
    return sdk_call(
        Fn::EnableDarkSubtract, {},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (pcBMPPath == nullptr)
                    return ASI_ERROR_INVALID_PATH;
                auto dark = std::make_shared<DarkFrame>();
                ASI_ERROR_CODE status =
                    load_dark_bmp(pcBMPPath, c->model->width, c->model->height, *dark);
                if (status == ASI_SUCCESS)
                    c->dark = std::move(dark);
                return status;
            });
        },
        iCameraID, PathText{pcBMPPath});
}

ASICAMERA_API ASI_ERROR_CODE ASIDisableDarkSubtract(int iCameraID) {
    return sdk_call(
        Fn::DisableDarkSubtract, {},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                c->dark.reset();
                return ASI_SUCCESS;
            });
        },
        iCameraID);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetGainOffset(int iCameraID, int* pOffset_HighestDR,
                                              int* pOffset_UnityGain, int* pGain_LowestRN,
                                              int* pOffset_LowestRN) {
    return sdk_call(
        Fn::GetGainOffset,
        {out(pOffset_HighestDR), out(pOffset_UnityGain), out(pGain_LowestRN),
         out(pOffset_LowestRN)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (any_null(pOffset_HighestDR, pOffset_UnityGain, pGain_LowestRN,
                             pOffset_LowestRN))
                    return ASI_ERROR_GENERAL_ERROR;
                const GainPresets& p = c->model->presets;
                *pOffset_HighestDR = p.offset_highest_dr;
                *pOffset_UnityGain = p.offset_unity_gain;
                *pGain_LowestRN = p.gain_lowest_rn;
                *pOffset_LowestRN = p.offset_lowest_rn;
                return ASI_SUCCESS;
            });
        },
        iCameraID, pOffset_HighestDR, pOffset_UnityGain, pGain_LowestRN, pOffset_LowestRN);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetLMHGainOffset(int iCameraID, int* pLGain, int* pMGain,
                                                 int* pHGain, int* pHOffset) {
    return sdk_call(
        Fn::GetLMHGainOffset, {out(pLGain), out(pMGain), out(pHGain), out(pHOffset)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (any_null(pLGain, pMGain, pHGain, pHOffset))
                    return ASI_ERROR_GENERAL_ERROR;
                const GainPresets& p = c->model->presets;
                *pLGain = p.low_gain;
                *pMGain = p.medium_gain;
                *pHGain = p.high_gain;
                *pHOffset = p.high_offset;
                return ASI_SUCCESS;
            });
        },
        iCameraID, pLGain, pMGain, pHGain, pHOffset);
}

// --- camera modes and triggers -----------------------------------------------------------------

ASICAMERA_API ASI_ERROR_CODE ASIGetCameraSupportMode(int iCameraID,
                                                     ASI_SUPPORTED_MODE* pSupportedMode) {
    return sdk_call(
        Fn::GetCameraSupportMode, {out(pSupportedMode)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (!c->model->trigger)
                    return ASI_ERROR_INVALID_MODE;
                if (pSupportedMode == nullptr)
                    return ASI_ERROR_GENERAL_ERROR;
                for (auto& mode : pSupportedMode->SupportedCameraMode)
                    mode = ASI_MODE_END;
                for (int m = ASI_MODE_NORMAL; m <= ASI_MODE_TRIG_LOW_LEVEL; ++m)
                    pSupportedMode->SupportedCameraMode[m] = static_cast<ASI_CAMERA_MODE>(m);
                return ASI_SUCCESS;
            });
        },
        iCameraID, pSupportedMode);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetCameraMode(int iCameraID, ASI_CAMERA_MODE* mode) {
    return sdk_call(
        Fn::GetCameraMode, {out(mode)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (!c->model->trigger)
                    return ASI_ERROR_INVALID_MODE;
                if (mode == nullptr)
                    return ASI_ERROR_GENERAL_ERROR;
                *mode = c->mode;
                return ASI_SUCCESS;
            });
        },
        iCameraID, mode);
}

ASICAMERA_API ASI_ERROR_CODE ASISetCameraMode(int iCameraID, ASI_CAMERA_MODE mode) {
    return sdk_call(
        Fn::SetCameraMode, {},
        [&] {
            int new_mode = raw(mode);
            return with_open(iCameraID, [&](CameraLock& c) {
                if (!c->model->trigger || !valid_mode(new_mode))
                    return ASI_ERROR_INVALID_MODE;
                if (c->video)
                    return ASI_ERROR_VIDEO_MODE_ACTIVE;
                c->mode = static_cast<ASI_CAMERA_MODE>(new_mode);
                c->soft_triggers = 0;
                c->trigger_level = false;
                c->level_exposures.clear();
                return ASI_SUCCESS;
            });
        },
        iCameraID, mode);
}

ASICAMERA_API ASI_ERROR_CODE ASISendSoftTrigger(int iCameraID, ASI_BOOL bStart) {
    return sdk_call(
        Fn::SendSoftTrigger, {},
        [&] {
            bool start = raw(bStart) != 0;
            return with_open(iCameraID, [&](CameraLock& c) {
                if (!c->model->trigger)
                    return ASI_ERROR_INVALID_MODE;
                auto now = Clock::now();
                if (c->mode == ASI_MODE_TRIG_SOFT_EDGE) {
                    if (start)
                        ++c->soft_triggers;
                } else if (c->mode == ASI_MODE_TRIG_SOFT_LEVEL) {
                    if (start && !c->trigger_level) {
                        c->trigger_level = true;
                        c->trigger_level_start = now;
                    } else if (!start && c->trigger_level) {
                        c->trigger_level = false;
                        c->level_exposures.push_back(
                            std::chrono::duration<double>(now - c->trigger_level_start).count());
                    }
                } else {
                    return ASI_ERROR_INVALID_MODE;
                }
                c->producer_wake.notify_all();
                return ASI_SUCCESS;
            });
        },
        iCameraID, bStart);
}

ASICAMERA_API ASI_ERROR_CODE ASISetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT pin,
                                                       ASI_BOOL bPinHigh, long lDelay,
                                                       long lDuration) {
    return sdk_call(
        Fn::SetTriggerOutputIOConf, {},
        [&] {
            int output = raw(pin);
            bool high = raw(bPinHigh) != 0;
            return with_open(iCameraID, [&](CameraLock& c) {
                if (!c->model->trigger)
                    return ASI_ERROR_INVALID_MODE;
                if (output != ASI_TRIG_OUTPUT_PINA && output != ASI_TRIG_OUTPUT_PINB)
                    return ASI_ERROR_GENERAL_ERROR;
                if (lDelay < 0 || lDelay > 2000000000L || lDuration < 0 || lDuration > 2000000000L)
                    return ASI_ERROR_GENERAL_ERROR;
                c->trigger_outputs[output] = TriggerOutput{high, lDelay, lDuration};
                return ASI_SUCCESS;
            });
        },
        iCameraID, pin, bPinHigh, lDelay, lDuration);
}

ASICAMERA_API ASI_ERROR_CODE ASIGetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT pin,
                                                       ASI_BOOL* bPinHigh, long* lDelay,
                                                       long* lDuration) {
    return sdk_call(
        Fn::GetTriggerOutputIOConf, {out(bPinHigh), out(lDelay), out(lDuration)},
        [&] {
            int output = raw(pin);
            return with_open(iCameraID, [&](CameraLock& c) {
                if (!c->model->trigger)
                    return ASI_ERROR_INVALID_MODE;
                if (output != ASI_TRIG_OUTPUT_PINA && output != ASI_TRIG_OUTPUT_PINB)
                    return ASI_ERROR_GENERAL_ERROR;
                if (any_null(bPinHigh, lDelay, lDuration))
                    return ASI_ERROR_GENERAL_ERROR;
                const TriggerOutput& t = c->trigger_outputs[output];
                *bPinHigh = t.high ? ASI_TRUE : ASI_FALSE;
                *lDelay = t.delay_us;
                *lDuration = t.duration_us;
                return ASI_SUCCESS;
            });
        },
        iCameraID, pin, bPinHigh, lDelay, lDuration);
}

// --- GPS -------------------------------------------------------------------------------------

ASICAMERA_API ASI_ERROR_CODE ASIGPSGetData(int iCameraID, ASI_GPS_DATA* startLineGPSData,
                                           ASI_GPS_DATA* endLineGPSData) {
    return sdk_call(
        Fn::GPSGetData, {out(startLineGPSData), out(endLineGPSData)},
        [&] {
            return with_open(iCameraID, [&](CameraLock& c) {
                if (!c->model->gps)
                    return ASI_ERROR_GPS_NOT_SUPPORTED;
                if (any_null(startLineGPSData, endLineGPSData))
                    return ASI_ERROR_GENERAL_ERROR;
                // The lines between start and end take their readout time to pass.
                auto now = std::chrono::system_clock::now();
                long lines = c->value(ASI_GPS_END_LINE) - c->value(ASI_GPS_START_LINE);
                double line_time = 1.0 / (c->model->full_frame_fps * c->model->height);
                auto end = now + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                     std::chrono::duration<double>(lines * line_time));
                fill_gps(*c.camera, now, startLineGPSData);
                fill_gps(*c.camera, end, endLineGPSData);
                return ASI_SUCCESS;
            });
        },
        iCameraID, startLineGPSData, endLineGPSData);
}

} // extern "C"
