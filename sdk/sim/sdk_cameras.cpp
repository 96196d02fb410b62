// The SDK's camera functions: discovery, opening and closing, identity, controls and the
// region of interest.
// Statuses where the SDK leaves a choice are listed in README.md.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "control.hpp"
#include "sim.hpp"

namespace asisim {

namespace {

ASI_ERROR_CODE get_property(int camera_id, ASI_CAMERA_INFO* info) {
    CameraLock camera = lock_camera(camera_id);
    if (!camera)
        return camera.missing;
    if (info == nullptr)
        return ASI_ERROR_GENERAL_ERROR;
    *info = camera->info;
    return ASI_SUCCESS;
}

} // namespace

// --- discovery -------------------------------------------------------------------------

int sdk::GetNumOfConnectedCameras() {
    return simulator().count.load(std::memory_order_acquire);
}

ASI_ERROR_CODE sdk::GetCameraProperty(ASI_CAMERA_INFO* info, int index) {
    // Indexes count the cameras on the bus: those after an unplugged one move down.
    CameraLock camera = connected_camera(index);
    if (!camera)
        return ASI_ERROR_INVALID_INDEX;
    if (info == nullptr)
        return ASI_ERROR_GENERAL_ERROR;
    *info = camera->info;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE sdk::GetCameraPropertyByID(int camera_id, ASI_CAMERA_INFO* info) {
    return get_property(camera_id, info);
}

ASI_BOOL sdk::CameraCheck(int vendor_id, int product_id) {
    if (vendor_id != kVendorId)
        return ASI_FALSE;
    if (product_id == 0x5301 || product_id == 0x5302 || product_id == 0x5303)
        return ASI_TRUE;
    return configured_product(product_id) ? ASI_TRUE : ASI_FALSE;
}

const char* sdk::GetSDKVersion() {
    return sdk_version();
}

// --- lifecycle -------------------------------------------------------------------------

ASI_ERROR_CODE sdk::OpenCamera(int camera_id) {
    CameraLock camera = lock_camera(camera_id);
    if (!camera)
        return camera.missing;
    if (!camera->open) {
        camera->update_thermal(Clock::now());
        reset_camera_settings(*camera.camera);
        camera->open = true;
        camera->initialised = false;
    }
    return ASI_SUCCESS;
}

ASI_ERROR_CODE sdk::InitCamera(int camera_id) {
    return with_open(camera_id, [](CameraLock& camera) {
        if (camera->video)
            return ASI_ERROR_VIDEO_MODE_ACTIVE;
        if (camera->exposing())
            return ASI_ERROR_EXPOSURE_IN_PROGRESS;
        camera->region = Region{camera->model->width, camera->model->height, 1, ASI_IMG_RAW8, 0, 0};
        camera->initialised = true;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::CloseCamera(int camera_id) {
    CameraLock camera = lock_camera(camera_id);
    // Unplugging closed it already; a program lets go of its handle all the same.
    if (!camera)
        return camera.missing == ASI_ERROR_CAMERA_REMOVED ? ASI_SUCCESS : camera.missing;
    if (camera->open)
        close_camera(camera);
    return ASI_SUCCESS;
}

// --- identity --------------------------------------------------------------------------

ASI_ERROR_CODE sdk::GetID(int camera_id, ASI_ID* id) {
    return with_outputs(camera_id, id)([&](Camera& camera) {
        *id = camera.id;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::SetID(int camera_id, ASI_ID id) {
    return with_open(camera_id, [&](CameraLock& camera) {
        camera->id = id;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetSerialNumber(int camera_id, ASI_SN* serial) {
    return with_outputs(camera_id, serial)([&](Camera& camera) {
        std::memcpy(serial->id, camera.model->serial.data(), sizeof serial->id);
        return ASI_SUCCESS;
    });
}

// --- controls --------------------------------------------------------------------------

ASI_ERROR_CODE sdk::GetNumOfControls(int camera_id, int* count) {
    return with_outputs(camera_id, count)([&](Camera& camera) {
        *count = static_cast<int>(camera.controls.size());
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetControlCaps(int camera_id, int control_index, ASI_CONTROL_CAPS* caps) {
    return with_open(camera_id, [&](CameraLock& camera) {
        if (control_index < 0 || control_index >= static_cast<int>(camera->controls.size()))
            return ASI_ERROR_INVALID_CONTROL_TYPE;
        if (caps == nullptr)
            return ASI_ERROR_GENERAL_ERROR;
        const ControlDef& control = camera->controls[control_index];
        ASI_CONTROL_CAPS answer;
        std::memset(&answer, 0, sizeof answer);
        std::strncpy(answer.Name, control.name, sizeof answer.Name - 1);
        std::strncpy(answer.Description, control.description, sizeof answer.Description - 1);
        answer.MaxValue = control.max;
        answer.MinValue = control.min;
        answer.DefaultValue = control.def;
        answer.IsAutoSupported = control.auto_supported ? ASI_TRUE : ASI_FALSE;
        answer.IsWritable = control.writable ? ASI_TRUE : ASI_FALSE;
        answer.ControlType = control.type;
        *caps = answer;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetControlValue(int camera_id, int type, long* value, ASI_BOOL* automatic) {
    return with_open(camera_id, [&](CameraLock& camera) {
        if (camera->control(type) == nullptr)
            return ASI_ERROR_INVALID_CONTROL_TYPE;
        if (any_null(value, automatic))
            return ASI_ERROR_GENERAL_ERROR;
        long current = camera->values[type];
        if (type == ASI_TEMPERATURE || type == ASI_COOLER_POWER_PERC) {
            camera->update_thermal(Clock::now());
            current = type == ASI_TEMPERATURE ? std::lround(camera->temperature_c * 10)
                                              : std::lround(camera->cooler_power);
        }
        *value = current;
        *automatic = camera->autos[type] ? ASI_TRUE : ASI_FALSE;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::SetControlValue(int camera_id, int type, long value, int automatic_flag) {
    bool automatic = automatic_flag != 0;
    return with_open(camera_id, [&](CameraLock& camera) {
        const ControlDef* control = camera->control(type);
        if (control == nullptr)
            return ASI_ERROR_INVALID_CONTROL_TYPE;
        if (!control->writable || (automatic && !control->auto_supported))
            return ASI_ERROR_GENERAL_ERROR;
        if (value < control->min || value > control->max)
            return ASI_ERROR_GENERAL_ERROR;
        if (type == ASI_COOLER_ON || type == ASI_TARGET_TEMP)
            camera->update_thermal(Clock::now()); // the old setting ran until now
        camera->values[type] = value;
        camera->autos[type] = automatic;
        // A waiting video thread re-plans its next frame with the new setting.
        camera->producer_wake.notify_all();
        return ASI_SUCCESS;
    });
}

// --- region of interest ----------------------------------------------------------------

ASI_ERROR_CODE sdk::SetROIFormat(int camera_id, int width, int height, int bin, int type) {
    return with_open(camera_id, [&](CameraLock& camera) {
        if (camera->video)
            return ASI_ERROR_VIDEO_MODE_ACTIVE;
        if (camera->exposing())
            return ASI_ERROR_EXPOSURE_IN_PROGRESS;
        const Model& model = *camera->model;
        if (std::find(model.bins.begin(), model.bins.end(), bin) == model.bins.end())
            return ASI_ERROR_INVALID_SIZE;
        int max_width = model.width / bin, max_height = model.height / bin;
        if (width <= 0 || height <= 0 || width % 8 != 0 || height % 2 != 0 || width > max_width ||
            height > max_height)
            return ASI_ERROR_INVALID_SIZE;
        if (std::find(model.formats.begin(), model.formats.end(), type) == model.formats.end())
            return ASI_ERROR_INVALID_IMGTYPE;
        Region& region = camera->region;
        region.width = width;
        region.height = height;
        region.bin = bin;
        region.type = static_cast<ASI_IMG_TYPE>(type);
        // The camera centres a new region; even coordinates keep the Bayer phase.
        int even = model.color ? ~1 : ~0;
        region.start_x = ((max_width - width) / 2) & even;
        region.start_y = ((max_height - height) / 2) & even;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetROIFormat(int camera_id, int* width, int* height, int* bin,
                                 ASI_IMG_TYPE* image_type) {
    return with_outputs(camera_id, width, height, bin, image_type)([&](Camera& camera) {
        *width = camera.region.width;
        *height = camera.region.height;
        *bin = camera.region.bin;
        *image_type = camera.region.type;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::SetStartPos(int camera_id, int start_x, int start_y) {
    return with_open(camera_id, [&](CameraLock& camera) {
        Region& region = camera->region;
        long max_width = camera->model->width / region.bin;
        long max_height = camera->model->height / region.bin;
        if (start_x < 0 || start_y < 0 || long(start_x) + region.width > max_width ||
            long(start_y) + region.height > max_height)
            return ASI_ERROR_OUTOF_BOUNDARY;
        // Colour sensors move in steps of the 2x2 Bayer cell.
        region.start_x = camera->model->color ? start_x & ~1 : start_x;
        region.start_y = camera->model->color ? start_y & ~1 : start_y;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetStartPos(int camera_id, int* start_x, int* start_y) {
    return with_outputs(camera_id, start_x, start_y)([&](Camera& camera) {
        *start_x = camera.region.start_x;
        *start_y = camera.region.start_y;
        return ASI_SUCCESS;
    });
}

} // namespace asisim
