// The control interface's view of the SDK: the table of the 42 functions, and the wrapper
// every exported function goes through (journal, forced status, scripted outputs).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "ASICamera2.h"

// clang-format off
/// Every SDK function in the order of ASICamera2.h: result type, name without the ASI
/// prefix, then (type, name) of each parameter as the header spells them. The exports,
/// the declarations of their work (namespace asisim::sdk), the Fn enumeration and the
/// journal's parameter names are all made from this one list; a type that differs from
/// ASICamera2.h stops the build, since the export no longer matches its declaration.
#define ASISIM_SDK_FUNCTIONS(F) \
    F(int, GetNumOfConnectedCameras) \
    F(ASI_ERROR_CODE, GetCameraProperty, (ASI_CAMERA_INFO*, pASICameraInfo), (int, iCameraIndex)) \
    F(ASI_ERROR_CODE, GetCameraPropertyByID, (int, iCameraID), (ASI_CAMERA_INFO*, pASICameraInfo)) \
    F(ASI_BOOL, CameraCheck, (int, iVID), (int, iPID)) \
    F(const char*, GetSDKVersion) \
    F(ASI_ERROR_CODE, OpenCamera, (int, iCameraID)) \
    F(ASI_ERROR_CODE, InitCamera, (int, iCameraID)) \
    F(ASI_ERROR_CODE, CloseCamera, (int, iCameraID)) \
    F(ASI_ERROR_CODE, GetID, (int, iCameraID), (ASI_ID*, pID)) \
    F(ASI_ERROR_CODE, SetID, (int, iCameraID), (ASI_ID, ID)) \
    F(ASI_ERROR_CODE, GetSerialNumber, (int, iCameraID), (ASI_SN*, pSN)) \
    F(ASI_ERROR_CODE, GetNumOfControls, (int, iCameraID), (int*, piNumberOfControls)) \
    F(ASI_ERROR_CODE, GetControlCaps, (int, iCameraID), (int, iControlIndex), (ASI_CONTROL_CAPS*, pControlCaps)) \
    F(ASI_ERROR_CODE, GetControlValue, (int, iCameraID), (ASI_CONTROL_TYPE, ControlType), (long*, plValue), (ASI_BOOL*, pbAuto)) \
    F(ASI_ERROR_CODE, SetControlValue, (int, iCameraID), (ASI_CONTROL_TYPE, ControlType), (long, lValue), (ASI_BOOL, bAuto)) \
    F(ASI_ERROR_CODE, SetROIFormat, (int, iCameraID), (int, iWidth), (int, iHeight), (int, iBin), (ASI_IMG_TYPE, Img_type)) \
    F(ASI_ERROR_CODE, GetROIFormat, (int, iCameraID), (int*, piWidth), (int*, piHeight), (int*, piBin), (ASI_IMG_TYPE*, pImg_type)) \
    F(ASI_ERROR_CODE, SetStartPos, (int, iCameraID), (int, iStartX), (int, iStartY)) \
    F(ASI_ERROR_CODE, GetStartPos, (int, iCameraID), (int*, piStartX), (int*, piStartY)) \
    F(ASI_ERROR_CODE, StartExposure, (int, iCameraID), (ASI_BOOL, bIsDark)) \
    F(ASI_ERROR_CODE, StopExposure, (int, iCameraID)) \
    F(ASI_ERROR_CODE, GetExpStatus, (int, iCameraID), (ASI_EXPOSURE_STATUS*, pExpStatus)) \
    F(ASI_ERROR_CODE, GetDataAfterExp, (int, iCameraID), (unsigned char*, pBuffer), (long, lBuffSize)) \
    F(ASI_ERROR_CODE, GetDataAfterExpGPS, (int, iCameraID), (unsigned char*, pBuffer), (long, lBuffSize), (ASI_GPS_DATA*, gpsData)) \
    F(ASI_ERROR_CODE, StartVideoCapture, (int, iCameraID)) \
    F(ASI_ERROR_CODE, StopVideoCapture, (int, iCameraID)) \
    F(ASI_ERROR_CODE, GetVideoData, (int, iCameraID), (unsigned char*, pBuffer), (long, lBuffSize), (int, iWaitms)) \
    F(ASI_ERROR_CODE, GetVideoDataGPS, (int, iCameraID), (unsigned char*, pBuffer), (long, lBuffSize), (int, iWaitms), (ASI_GPS_DATA*, gpsData)) \
    F(ASI_ERROR_CODE, GetDroppedFrames, (int, iCameraID), (int*, piDropFrames)) \
    F(ASI_ERROR_CODE, PulseGuideOn, (int, iCameraID), (ASI_GUIDE_DIRECTION, direction)) \
    F(ASI_ERROR_CODE, PulseGuideOff, (int, iCameraID), (ASI_GUIDE_DIRECTION, direction)) \
    F(ASI_ERROR_CODE, EnableDarkSubtract, (int, iCameraID), (char*, pcBMPPath)) \
    F(ASI_ERROR_CODE, DisableDarkSubtract, (int, iCameraID)) \
    F(ASI_ERROR_CODE, GetGainOffset, (int, iCameraID), (int*, pOffset_HighestDR), (int*, pOffset_UnityGain), (int*, pGain_LowestRN), (int*, pOffset_LowestRN)) \
    F(ASI_ERROR_CODE, GetLMHGainOffset, (int, iCameraID), (int*, pLGain), (int*, pMGain), (int*, pHGain), (int*, pHOffset)) \
    F(ASI_ERROR_CODE, GetCameraSupportMode, (int, iCameraID), (ASI_SUPPORTED_MODE*, pSupportedMode)) \
    F(ASI_ERROR_CODE, GetCameraMode, (int, iCameraID), (ASI_CAMERA_MODE*, mode)) \
    F(ASI_ERROR_CODE, SetCameraMode, (int, iCameraID), (ASI_CAMERA_MODE, mode)) \
    F(ASI_ERROR_CODE, SendSoftTrigger, (int, iCameraID), (ASI_BOOL, bStart)) \
    F(ASI_ERROR_CODE, SetTriggerOutputIOConf, (int, iCameraID), (ASI_TRIG_OUTPUT, pin), (ASI_BOOL, bPinHigh), (long, lDelay), (long, lDuration)) \
    F(ASI_ERROR_CODE, GetTriggerOutputIOConf, (int, iCameraID), (ASI_TRIG_OUTPUT, pin), (ASI_BOOL*, bPinHigh), (long*, lDelay), (long*, lDuration)) \
    F(ASI_ERROR_CODE, GPSGetData, (int, iCameraID), (ASI_GPS_DATA*, startLineGPSData), (ASI_GPS_DATA*, endLineGPSData))
// clang-format on

// Applies macro(type, name) to each (type, name) pair, separated by commas.
#define ASISIM_PARENS ()
#define ASISIM_EXPAND(...) ASISIM_EXPAND4(ASISIM_EXPAND4(ASISIM_EXPAND4(__VA_ARGS__)))
#define ASISIM_EXPAND4(...) ASISIM_EXPAND2(ASISIM_EXPAND2(ASISIM_EXPAND2(__VA_ARGS__)))
#define ASISIM_EXPAND2(...) __VA_ARGS__
#define ASISIM_FOR_EACH(macro, ...)                                                                \
    __VA_OPT__(ASISIM_EXPAND(ASISIM_FOR_EACH_STEP(macro, __VA_ARGS__)))
#define ASISIM_FOR_EACH_STEP(macro, pair, ...)                                                     \
    macro pair __VA_OPT__(, ASISIM_FOR_EACH_AGAIN ASISIM_PARENS(macro, __VA_ARGS__))
#define ASISIM_FOR_EACH_AGAIN() ASISIM_FOR_EACH_STEP

#define ASISIM_PARAMETER(type, name) type name
#define ASISIM_TYPE(type, name) type
#define ASISIM_NAME(type, name) name
#define ASISIM_NAME_TEXT(type, name) #name

namespace asisim {

/// The SDK functions, in the order of ASICamera2.h.
enum class Fn : int {
#define ASISIM_ENUMERATOR(result, name, ...) name,
    ASISIM_SDK_FUNCTIONS(ASISIM_ENUMERATOR)
#undef ASISIM_ENUMERATOR
        Count
};
inline constexpr int kFunctionCount = static_cast<int>(Fn::Count);

/// Enumerations come from C callers (and fuzzers) with any int value. Reading one outside
/// its enumerators' range as the C++ enum type is undefined, so the exports pass on only
/// its bits, as an int, without ever loading it as the enum.
template <class T> using WorkType = std::conditional_t<std::is_enum_v<T>, int, T>;
template <class T> WorkType<T> as_work(const T& value) {
    if constexpr (std::is_enum_v<T>) {
        static_assert(sizeof(T) == sizeof(int));
        int bits;
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    } else {
        return value;
    }
}
#define ASISIM_WORK_TYPE(type, name) WorkType<type>
#define ASISIM_AS_WORK(type, name) as_work(name)

/// The work of each SDK function, without the control interface around it.
namespace sdk {
#define ASISIM_WORK(result, name, ...) result name(ASISIM_FOR_EACH(ASISIM_WORK_TYPE, __VA_ARGS__));
ASISIM_SDK_FUNCTIONS(ASISIM_WORK)
#undef ASISIM_WORK
} // namespace sdk

/// Outputs are the pointer parameters the function writes: all of them but the path.
template <class T>
inline constexpr bool kIsOutput = std::is_pointer_v<T> && !std::is_same_v<T, char*>;

/// Name, parameter names (as in ASICamera2.h) and number of outputs.
struct FunctionInfo {
    const char* name;
    int param_count;
    std::array<const char*, 6> params;
    int outputs;
};

template <class... Params>
constexpr FunctionInfo function_row(const char* name, std::array<const char*, 6> params) {
    return {name, int(sizeof...(Params)), params, (0 + ... + int(kIsOutput<Params>))};
}

inline constexpr FunctionInfo kFunctions[kFunctionCount] = {
#define ASISIM_ROW(result, name, ...)                                                              \
    function_row<ASISIM_FOR_EACH(ASISIM_TYPE, __VA_ARGS__)>(                                       \
        "ASI" #name, {ASISIM_FOR_EACH(ASISIM_NAME_TEXT, __VA_ARGS__)}),
    ASISIM_SDK_FUNCTIONS(ASISIM_ROW)
#undef ASISIM_ROW
};

/// Control bits: all clear means an SDK call does nothing but its work.
inline constexpr unsigned kJournalOn = 1, kForcedSet = 2, kScriptsSet = 4;
extern std::atomic<unsigned> control_bits;

/// An output parameter: where a scripted output may be written, and how much.
struct Output {
    void* pointer;
    std::size_t size;
};

// Journal text of one argument, as asisim.h describes it.
std::string journal_number(long long value);
std::string journal_pointer(const void* pointer);
std::string journal_path(const char* path); ///< the dark-frame path: hex of its bytes
std::string journal_id(const ASI_ID& id);
template <class T> std::string journal_text(const T& value) {
    if constexpr (std::is_same_v<T, char*>)
        return journal_path(value);
    else if constexpr (std::is_pointer_v<T>)
        return journal_pointer(value);
    else if constexpr (std::is_same_v<T, ASI_ID>)
        return journal_id(value);
    else
        return journal_number(value);
}

void journal_call(Fn fn, std::initializer_list<std::string> values);
/// The forced value of the next call of fn, if one is set (counts it down).
bool take_forced(Fn fn, int& value);
void write_scripts(Fn fn, const std::vector<Output>& outputs);

/// The outputs among a call's arguments; an image buffer's size is the argument after it.
template <class... Params> std::vector<Output> outputs_of(Params... arguments) {
    std::vector<Output> outputs;
    std::tuple<Params...> tuple{arguments...};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        auto add = [&]<std::size_t Index>(std::integral_constant<std::size_t, Index>) {
            using T = std::tuple_element_t<Index, std::tuple<Params...>>;
            if constexpr (std::is_same_v<T, unsigned char*>) {
                long size = std::get<Index + 1>(tuple);
                outputs.push_back({std::get<Index>(tuple), size > 0 ? std::size_t(size) : 0});
            } else if constexpr (kIsOutput<T>) {
                outputs.push_back({std::get<Index>(tuple), sizeof *std::get<Index>(tuple)});
            }
        };
        (add(std::integral_constant<std::size_t, I>{}), ...);
    }
    (std::index_sequence_for<Params...>{});
    return outputs;
}

template <class Result, class... Params>
[[gnu::noinline]] Result controlled_call(Fn fn, Result (*work)(Params...), unsigned bits,
                                         Params... arguments) {
    if (bits & kJournalOn)
        journal_call(fn, {journal_text(arguments)...});
    Result result;
    int forced = 0;
    if constexpr (std::is_pointer_v<Result>) {
        result = work(arguments...); // the version text has no status to force
    } else {
        if ((bits & kForcedSet) && take_forced(fn, forced))
            result = static_cast<Result>(forced);
        else
            result = work(arguments...);
    }
    if (bits & kScriptsSet)
        write_scripts(fn, outputs_of(arguments...));
    return result;
}

/// One SDK call: its work, and what the control interface asks for around it.
template <class Result, class... Params>
Result call(Fn fn, Result (*work)(Params...), std::type_identity_t<Params>... arguments) {
    unsigned bits = control_bits.load(std::memory_order_relaxed);
    if (bits == 0) [[likely]]
        return work(arguments...);
    return controlled_call(fn, work, bits, arguments...);
}

/// Back to no journal, no forcing, no scripts.
void reset_control();
/// The text ASIGetSDKVersion returns (null after asisim_set_sdk_version with length < 0).
const char* sdk_version();

} // namespace asisim
