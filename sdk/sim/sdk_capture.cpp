// The SDK's capture functions: snap exposures, video, guiding, dark subtraction, gain
// presets, camera modes and triggers, GPS.
// Statuses where the SDK leaves a choice are listed in README.md.
#include <cstring>

#include "control.hpp"
#include "sim.hpp"

namespace asisim {

namespace {

ASI_ERROR_CODE get_data_after_exp(int camera_id, unsigned char* buffer, long size,
                                  ASI_GPS_DATA* gps, bool want_gps) {
    CameraLock camera = lock_camera(camera_id);
    if (!camera)
        return camera.missing;
    if (!camera->open)
        return ASI_ERROR_CAMERA_CLOSED;
    camera->advance_exposure();
    if (camera->exposure_status != ASI_EXP_SUCCESS)
        return ASI_ERROR_GENERAL_ERROR;
    if (buffer == nullptr || (want_gps && gps == nullptr))
        return ASI_ERROR_GENERAL_ERROR;
    const Region& region = camera->region;
    if (size < image_bytes(region.width, region.height, region.type))
        return ASI_ERROR_BUFFER_TOO_SMALL;
    // The image shows the field and the sensor as they were during the exposure; a
    // fast-frames exposure took no time, but its image shows the exposure set.
    auto start = camera->exposure_start, end = camera->exposure_end;
    double exposure_s = seconds_between(start, end);
    if (exposure_s == 0)
        exposure_s = camera->value(ASI_EXPOSURE) * 1e-6;
    FrameRequest request = camera->frame_request(exposure_s, camera->exposure_dark, start, end);
    std::uint64_t sequence = camera->exposure_sequence;
    auto started = camera->exposure_wall_start;
    std::shared_ptr<Renderer> renderer = camera->renderer;
    // Rendering a full frame takes a while: other calls on this camera go on meanwhile.
    camera.lock.unlock();
    if (fast_frames()) {
        renderer->fast_frame(request, buffer);
    } else {
        renderer->render(request, buffer);
    }
    camera.lock.lock();
    if (camera->exposure_sequence == sequence && camera->exposure_status == ASI_EXP_SUCCESS)
        camera->exposure_status = ASI_EXP_IDLE;
    if (want_gps)
        fill_gps(*camera.camera, started, gps);
    return ASI_SUCCESS;
}

ASI_ERROR_CODE pulse_guide(int camera_id, int direction, bool on) {
    return with_open(camera_id, [&](CameraLock& camera) {
        if (!camera->model->st4 || direction < 0 || direction > 3)
            return ASI_ERROR_GENERAL_ERROR;
        // A repeated call changes nothing: answered without reading the clock.
        if (camera->pulse_on[direction] != on)
            camera->guide_pulse(direction, on, Clock::now());
        return ASI_SUCCESS;
    });
}

// Calls of the trigger interface on a camera without it answer ASI_ERROR_INVALID_MODE.
template <class Work> ASI_ERROR_CODE with_trigger(int camera_id, Work&& work) {
    return with_open(camera_id, [&](CameraLock& camera) {
        return camera->model->trigger ? work(camera) : ASI_ERROR_INVALID_MODE;
    });
}

bool valid_pin(int pin) {
    return pin == ASI_TRIG_OUTPUT_PINA || pin == ASI_TRIG_OUTPUT_PINB;
}

} // namespace

// --- snap exposure ---------------------------------------------------------------------

ASI_ERROR_CODE sdk::StartExposure(int camera_id, int dark) {
    return with_open(camera_id, [&](CameraLock& camera) {
        if (!camera->initialised)
            return ASI_ERROR_INVALID_SEQUENCE;
        if (camera->video)
            return ASI_ERROR_VIDEO_MODE_ACTIVE;
        if (camera->exposing())
            return ASI_ERROR_EXPOSURE_IN_PROGRESS;
        auto now = Clock::now();
        double seconds = fast_frames() ? 0 : camera->value(ASI_EXPOSURE) * 1e-6;
        camera->exposure_status = ASI_EXP_WORKING;
        camera->exposure_start = now;
        camera->exposure_end = now + to_duration(seconds);
        // The image is read out and sent over USB before the exposure counts as done.
        camera->exposure_ready =
            camera->exposure_end + to_duration(fast_frames() ? 0 : camera->delivery_time());
        camera->exposure_wall_start = std::chrono::system_clock::now();
        camera->exposure_dark = dark != 0;
        ++camera->exposure_sequence;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::StopExposure(int camera_id) {
    return with_open(camera_id, [&](CameraLock& camera) {
        // Stopped before its time, a snap has no image: the status says so.
        if (camera->exposing()) {
            camera->exposure_status = ASI_EXP_FAILED;
            ++camera->exposure_sequence;
        }
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetExpStatus(int camera_id, ASI_EXPOSURE_STATUS* status) {
    return with_outputs(camera_id, status)([&](Camera& camera) {
        camera.advance_exposure();
        *status = camera.exposure_status;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetDataAfterExp(int camera_id, unsigned char* buffer, long size) {
    return get_data_after_exp(camera_id, buffer, size, nullptr, false);
}

ASI_ERROR_CODE sdk::GetDataAfterExpGPS(int camera_id, unsigned char* buffer, long size,
                                       ASI_GPS_DATA* gps) {
    return get_data_after_exp(camera_id, buffer, size, gps, true);
}

// --- video -----------------------------------------------------------------------------

ASI_ERROR_CODE sdk::StartVideoCapture(int camera_id) {
    std::thread previous;
    ASI_ERROR_CODE status = with_open(camera_id, [&](CameraLock& camera) {
        if (!camera->initialised)
            return ASI_ERROR_INVALID_SEQUENCE;
        if (camera->exposing())
            return ASI_ERROR_EXPOSURE_IN_PROGRESS;
        previous = start_video_locked(*camera.camera);
        return ASI_SUCCESS;
    });
    if (previous.joinable())
        previous.join();
    return status;
}

ASI_ERROR_CODE sdk::StopVideoCapture(int camera_id) {
    std::thread producer;
    ASI_ERROR_CODE status = with_open(camera_id, [&](CameraLock& camera) {
        producer = stop_video_locked(*camera.camera);
        return ASI_SUCCESS;
    });
    if (producer.joinable())
        producer.join();
    return status;
}

ASI_ERROR_CODE sdk::GetVideoData(int camera_id, unsigned char* buffer, long size, int wait_ms) {
    return take_video_frame(camera_id, buffer, size, wait_ms, nullptr, false);
}

ASI_ERROR_CODE sdk::GetVideoDataGPS(int camera_id, unsigned char* buffer, long size, int wait_ms,
                                    ASI_GPS_DATA* gps) {
    return take_video_frame(camera_id, buffer, size, wait_ms, gps, true);
}

ASI_ERROR_CODE sdk::GetDroppedFrames(int camera_id, int* dropped) {
    return with_outputs(camera_id, dropped)([&](Camera& camera) {
        *dropped = camera.dropped;
        return ASI_SUCCESS;
    });
}

// --- guiding, dark subtraction, presets ------------------------------------------------

ASI_ERROR_CODE sdk::PulseGuideOn(int camera_id, int direction) {
    return pulse_guide(camera_id, direction, true);
}

ASI_ERROR_CODE sdk::PulseGuideOff(int camera_id, int direction) {
    return pulse_guide(camera_id, direction, false);
}

ASI_ERROR_CODE sdk::EnableDarkSubtract(int camera_id, char* path) {
    return with_open(camera_id, [&](CameraLock& camera) {
        if (path == nullptr)
            return ASI_ERROR_INVALID_PATH;
        auto dark = std::make_shared<DarkFrame>();
        ASI_ERROR_CODE status =
            load_dark_bmp(path, camera->model->width, camera->model->height, *dark);
        if (status == ASI_SUCCESS)
            camera->dark = std::move(dark);
        return status;
    });
}

ASI_ERROR_CODE sdk::DisableDarkSubtract(int camera_id) {
    return with_open(camera_id, [&](CameraLock& camera) {
        camera->dark.reset();
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetGainOffset(int camera_id, int* offset_highest_dr, int* offset_unity_gain,
                                  int* gain_lowest_rn, int* offset_lowest_rn) {
    return with_outputs(camera_id, offset_highest_dr, offset_unity_gain, gain_lowest_rn,
                        offset_lowest_rn)([&](Camera& camera) {
        const GainPresets& presets = camera.model->presets;
        *offset_highest_dr = presets.offset_highest_dr;
        *offset_unity_gain = presets.offset_unity_gain;
        *gain_lowest_rn = presets.gain_lowest_rn;
        *offset_lowest_rn = presets.offset_lowest_rn;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetLMHGainOffset(int camera_id, int* low_gain, int* medium_gain, int* high_gain,
                                     int* high_offset) {
    return with_outputs(camera_id, low_gain, medium_gain, high_gain,
                        high_offset)([&](Camera& camera) {
        const GainPresets& presets = camera.model->presets;
        *low_gain = presets.low_gain;
        *medium_gain = presets.medium_gain;
        *high_gain = presets.high_gain;
        *high_offset = presets.high_offset;
        return ASI_SUCCESS;
    });
}

// --- camera modes and triggers ---------------------------------------------------------

ASI_ERROR_CODE sdk::GetCameraSupportMode(int camera_id, ASI_SUPPORTED_MODE* supported) {
    return with_trigger(camera_id, [&](CameraLock&) {
        if (supported == nullptr)
            return ASI_ERROR_GENERAL_ERROR;
        for (auto& mode : supported->SupportedCameraMode)
            mode = ASI_MODE_END;
        for (int mode = ASI_MODE_NORMAL; mode <= ASI_MODE_TRIG_LOW_LEVEL; ++mode)
            supported->SupportedCameraMode[mode] = static_cast<ASI_CAMERA_MODE>(mode);
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetCameraMode(int camera_id, ASI_CAMERA_MODE* mode) {
    return with_trigger(camera_id, [&](CameraLock& camera) {
        if (mode == nullptr)
            return ASI_ERROR_GENERAL_ERROR;
        *mode = camera->mode;
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::SetCameraMode(int camera_id, int mode) {
    return with_trigger(camera_id, [&](CameraLock& camera) {
        if (mode < ASI_MODE_NORMAL || mode > ASI_MODE_TRIG_LOW_LEVEL)
            return ASI_ERROR_INVALID_MODE;
        if (camera->video)
            return ASI_ERROR_VIDEO_MODE_ACTIVE;
        camera->mode = static_cast<ASI_CAMERA_MODE>(mode);
        camera->clear_triggers();
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::SendSoftTrigger(int camera_id, int start_flag) {
    bool start = start_flag != 0;
    return with_trigger(camera_id, [&](CameraLock& camera) {
        auto now = Clock::now();
        if (camera->mode == ASI_MODE_TRIG_SOFT_EDGE) {
            if (start)
                ++camera->soft_triggers;
        } else if (camera->mode == ASI_MODE_TRIG_SOFT_LEVEL) {
            if (start && !camera->trigger_level) {
                camera->trigger_level = true;
                camera->trigger_level_start = now;
            } else if (!start && camera->trigger_level) {
                camera->trigger_level = false;
                camera->level_exposures.push_back(
                    seconds_between(camera->trigger_level_start, now));
            }
        } else {
            return ASI_ERROR_INVALID_MODE;
        }
        camera->producer_wake.notify_all();
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::SetTriggerOutputIOConf(int camera_id, int output, int pin_high, long delay_us,
                                           long duration_us) {
    bool high = pin_high != 0;
    return with_trigger(camera_id, [&](CameraLock& camera) {
        if (!valid_pin(output) || delay_us < 0 || delay_us > 2000000000L || duration_us < 0 ||
            duration_us > 2000000000L)
            return ASI_ERROR_GENERAL_ERROR;
        camera->trigger_outputs[output] = TriggerOutput{high, delay_us, duration_us};
        return ASI_SUCCESS;
    });
}

ASI_ERROR_CODE sdk::GetTriggerOutputIOConf(int camera_id, int output, ASI_BOOL* pin_high,
                                           long* delay_us, long* duration_us) {
    return with_trigger(camera_id, [&](CameraLock& camera) {
        if (!valid_pin(output) || any_null(pin_high, delay_us, duration_us))
            return ASI_ERROR_GENERAL_ERROR;
        const TriggerOutput& trigger = camera->trigger_outputs[output];
        *pin_high = trigger.high ? ASI_TRUE : ASI_FALSE;
        *delay_us = trigger.delay_us;
        *duration_us = trigger.duration_us;
        return ASI_SUCCESS;
    });
}

// --- GPS -------------------------------------------------------------------------------

ASI_ERROR_CODE sdk::GPSGetData(int camera_id, ASI_GPS_DATA* start_line, ASI_GPS_DATA* end_line) {
    return with_open(camera_id, [&](CameraLock& camera) {
        if (!camera->model->gps)
            return ASI_ERROR_GPS_NOT_SUPPORTED;
        if (any_null(start_line, end_line))
            return ASI_ERROR_GENERAL_ERROR;
        // The lines between start and end take their readout time to pass.
        auto now = std::chrono::system_clock::now();
        long lines = camera->value(ASI_GPS_END_LINE) - camera->value(ASI_GPS_START_LINE);
        double line_time = 1.0 / (camera->model->full_frame_fps * camera->model->height);
        auto end = now + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                             std::chrono::duration<double>(lines * line_time));
        fill_gps(*camera.camera, now, start_line);
        fill_gps(*camera.camera, end, end_line);
        return ASI_SUCCESS;
    });
}

} // namespace asisim
