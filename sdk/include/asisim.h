/* Control interface of the substitute ASICamera2 library.
 *
 * Tests, benchmarks and examples use it (through ctypes on the library the module
 * already loaded) to watch and control the simulated cameras. Every symbol carries the
 * asisim_ prefix so it can never clash with a name of the camera SDK. All functions
 * are thread-safe. */
#ifndef ASISIM_H
#define ASISIM_H

#include <stddef.h>

#include "ASICamera2.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Back to the state after loading: cameras from the configuration (or the built-in
 * set), all plugged in and closed, clear sky, no forced statuses, no scripted outputs,
 * default version text, journal off and empty, fast frames off. */
ASICAMERA_API void asisim_reset(void);

/* The journal records every SDK call while it is on, one line per call:
 *   FunctionName<TAB>arg=value<TAB>arg=value...
 * with the arguments in declaration order, named as in ASICamera2.h. Values:
 *   integers and enumerations in decimal;
 *   pointers as "ptr" or "null" (the pointed-to data is not recorded);
 *   ASIEnableDarkSubtract's path as "hex:" + the bytes up to its NUL, in lower-case hex;
 *   ASISetID's ASI_ID (passed by value) as "hex:" + its 8 bytes. */
ASICAMERA_API void asisim_journal_enable(int on);
/* Copies the journal as NUL-terminated text into out (when capacity allows) and
 * returns the size the whole text needs, NUL included. */
ASICAMERA_API size_t asisim_journal_read(char* out, size_t capacity);
ASICAMERA_API void asisim_journal_clear(void);

/* Makes the named SDK function return `value` (a status, or the count/boolean for
 * ASIGetNumOfConnectedCameras and ASICameraCheck) instead of doing its work:
 * times = 1 for the next call only, -1 for every call, 0 to cancel. A forced call is
 * still journaled, and scripted outputs are still written. ASIGetSDKVersion has no
 * status: forcing it is accepted and changes nothing (see asisim_set_sdk_version).
 * Returns 0, or -1 for a name that is not an SDK function. */
ASICAMERA_API int asisim_force_status(const char* function, int value, int times);
ASICAMERA_API void asisim_clear_forced(void);

/* Scripted outputs: from now on (until reset or asisim_clear_scripts) every call of
 * `function` writes `bytes` over its output number `output` just before it returns,
 * whatever its status. Outputs are the pointer parameters the function writes, counted
 * from 0 in declaration order: ASIGetControlValue 0 = plValue, 1 = pbAuto;
 * ASIGetDataAfterExpGPS 0 = pBuffer, 1 = gpsData; ASIGPSGetData 0 = startLineGPSData,
 * 1 = endLineGPSData (ASIEnableDarkSubtract's path is an input, not an output).
 * At most `length` bytes, and never more than the output's size (an image buffer's
 * size is the call's size argument); a null output is left alone. A later script of
 * the same output replaces the earlier one. Returns 0, or -1 for an unknown
 * function/output. */
ASICAMERA_API int asisim_script_output(const char* function, int output, const void* bytes, size_t length);
ASICAMERA_API void asisim_clear_scripts(void);

/* The text ASIGetSDKVersion returns: `length` bytes (copied; a NUL is appended), or
 * the null pointer when length < 0. */
ASICAMERA_API void asisim_set_sdk_version(const char* bytes, long length);

/* Replaces the ASI_CAMERA_INFO of the camera at `index` with raw bytes (at most
 * sizeof(ASI_CAMERA_INFO)). The camera keeps simulating by its model; only what the
 * SDK reports about it changes. Returns 0, or -1 for an index with no camera. */
ASICAMERA_API int asisim_set_camera_info(int index, const void* bytes, size_t length);

/* Fast frames: exposures complete at once and video frames are ready whenever they
 * are asked for, so tests and benchmarks run at the speed of the caller rather than of
 * the simulated sky. The image still shows the exposure time that is set. `on`: 0 off;
 * 1 on, every frame with fresh noise over a scene rendered once per change of what the
 * image depends on (settings, temperature, the stars' path); ASISIM_FAST_FRAMES_KEEP_NOISE
 * on, the whole frame rendered once per such change and repeated bit for bit (for
 * benchmarks that measure the caller alone). */
#define ASISIM_FAST_FRAMES_KEEP_NOISE 2
ASICAMERA_API void asisim_set_fast_frames(int on);

/* Loads a simulator configuration (the JSON format of ASISIM_CONFIG, described in
 * sdk/sim/README.md) from a file; path NULL returns to the built-in set. Resets the
 * simulator. Returns 0, or -1 with a message available from asisim_last_error(), in
 * which case nothing changes. asisim_reset goes back to ASISIM_CONFIG (read again) or
 * the built-in set, not to a file loaded here. */
ASICAMERA_API int asisim_load_config(const char* path);
/* The message of the last failed load (also of a bad ASISIM_CONFIG, which is reported
 * on stderr as well and replaced by the built-in set), or "" when there is none. The
 * text belongs to the calling thread and stays valid until its next call. */
ASICAMERA_API const char* asisim_last_error(void);

/* Events of the simulated world. A camera is named by its position in the configuration,
 * which is also its camera ID. */

/* Pulls the camera off the bus: it leaves the count, the cameras after it move down one
 * index (their IDs stay), and its calls answer ASI_ERROR_CAMERA_REMOVED -- a waiting
 * ASIGetVideoData at once; a running exposure fails; its capture stops. Unplugging an
 * unplugged camera changes nothing. Returns 0, or -1 for an index with no camera. */
ASICAMERA_API int asisim_unplug(int index);
/* Plugs it back in: it takes its place in the count again and appears closed, as after a
 * reconnect. Returns 0, or -1 for an index with no camera. */
ASICAMERA_API int asisim_plug(int index);
/* A pulse on the hardware trigger input of a trigger camera: the input holds the level its
 * mode waits for during duration_us. During video capture in a rising or falling edge mode
 * the pulse's start begins one exposure of the time set; in a high or low level mode the
 * camera exposes for the pulse. Other modes, and a camera not capturing, ignore it.
 * Returns 0, or -1 for an ID with no trigger camera or a negative duration. */
ASICAMERA_API int asisim_trigger_pulse(int camera_id, long duration_us);
/* The air temperature around every camera, -100 to 100 °C, until the next reset.
 * Returns 0, or -1 for a temperature outside that range. */
ASICAMERA_API int asisim_set_ambient_temperature(double celsius);
/* A cloud passes, starting now: the share of starlight and sky light that gets through
 * falls from 1 to `transparency` (0..1) and back, as sin², over `seconds` (> 0). Clouds
 * passing together multiply. A reset clears the sky. Returns 0, or -1 for values out of
 * range. */
ASICAMERA_API int asisim_pass_cloud(double transparency, double seconds);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ASISIM_H */
