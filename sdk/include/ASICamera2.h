/* The ASI camera SDK as this project calls it: 42 functions with C linkage, their
 * enumerations, and the structures they fill. Written for this project from the
 * documented call shapes; layouts are pinned by the static_asserts at the end so
 * that the substitute library and the maker's library agree byte for byte.
 *
 * The SDK's `long` is the platform's C long: 64 bits on Linux, 32 bits on Windows. */
#ifndef ASICAMERA2_H
#define ASICAMERA2_H

#ifdef _WIN32
#  ifdef ASICAMERA2_BUILDING
#    define ASICAMERA_API __declspec(dllexport)
#  else
#    define ASICAMERA_API __declspec(dllimport)
#  endif
#else
#  define ASICAMERA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum ASI_BAYER_PATTERN {
    ASI_BAYER_RG = 0,
    ASI_BAYER_BG,
    ASI_BAYER_GR,
    ASI_BAYER_GB
} ASI_BAYER_PATTERN;

typedef enum ASI_IMG_TYPE {
    ASI_IMG_RAW8 = 0,
    ASI_IMG_RGB24,
    ASI_IMG_RAW16,
    ASI_IMG_Y8,
    ASI_IMG_END = -1
} ASI_IMG_TYPE;

typedef enum ASI_GUIDE_DIRECTION {
    ASI_GUIDE_NORTH = 0,
    ASI_GUIDE_SOUTH,
    ASI_GUIDE_EAST,
    ASI_GUIDE_WEST
} ASI_GUIDE_DIRECTION;

typedef enum ASI_FLIP_STATUS {
    ASI_FLIP_NONE = 0,
    ASI_FLIP_HORIZ,
    ASI_FLIP_VERT,
    ASI_FLIP_BOTH
} ASI_FLIP_STATUS;

typedef enum ASI_CAMERA_MODE {
    ASI_MODE_NORMAL = 0,
    ASI_MODE_TRIG_SOFT_EDGE,
    ASI_MODE_TRIG_RISE_EDGE,
    ASI_MODE_TRIG_FALL_EDGE,
    ASI_MODE_TRIG_SOFT_LEVEL,
    ASI_MODE_TRIG_HIGH_LEVEL,
    ASI_MODE_TRIG_LOW_LEVEL,
    ASI_MODE_END = -1
} ASI_CAMERA_MODE;

typedef enum ASI_TRIG_OUTPUT {
    ASI_TRIG_OUTPUT_PINA = 0,
    ASI_TRIG_OUTPUT_PINB,
    ASI_TRIG_OUTPUT_NONE = -1
} ASI_TRIG_OUTPUT;

typedef enum ASI_ERROR_CODE {
    ASI_SUCCESS = 0,
    ASI_ERROR_INVALID_INDEX,            /* no camera at this index */
    ASI_ERROR_INVALID_ID,               /* no camera with this ID */
    ASI_ERROR_INVALID_CONTROL_TYPE,
    ASI_ERROR_CAMERA_CLOSED,            /* camera not open */
    ASI_ERROR_CAMERA_REMOVED,           /* camera disconnected */
    ASI_ERROR_INVALID_PATH,             /* file not found */
    ASI_ERROR_INVALID_FILEFORMAT,
    ASI_ERROR_INVALID_SIZE,             /* width/height the camera does not support */
    ASI_ERROR_INVALID_IMGTYPE,
    ASI_ERROR_OUTOF_BOUNDARY,           /* start position outside the sensor */
    ASI_ERROR_TIMEOUT,
    ASI_ERROR_INVALID_SEQUENCE,         /* stop capture first */
    ASI_ERROR_BUFFER_TOO_SMALL,
    ASI_ERROR_VIDEO_MODE_ACTIVE,
    ASI_ERROR_EXPOSURE_IN_PROGRESS,
    ASI_ERROR_GENERAL_ERROR,            /* value out of range, among others */
    ASI_ERROR_INVALID_MODE,
    ASI_ERROR_GPS_NOT_SUPPORTED,
    ASI_ERROR_GPS_VER_ERR,
    ASI_ERROR_GPS_FPGA_ERR,
    ASI_ERROR_GPS_PARAM_OUT_OF_RANGE,
    ASI_ERROR_GPS_DATA_INVALID,
    ASI_ERROR_END
} ASI_ERROR_CODE;

typedef enum ASI_BOOL {
    ASI_FALSE = 0,
    ASI_TRUE
} ASI_BOOL;

typedef enum ASI_CONTROL_TYPE {
    ASI_GAIN = 0,
    ASI_EXPOSURE,
    ASI_GAMMA,
    ASI_WB_R,
    ASI_WB_B,
    ASI_OFFSET,
    ASI_BANDWIDTHOVERLOAD,
    ASI_OVERCLOCK,
    ASI_TEMPERATURE,                    /* tenths of a degree Celsius */
    ASI_FLIP,
    ASI_AUTO_MAX_GAIN,
    ASI_AUTO_MAX_EXP,                   /* milliseconds */
    ASI_AUTO_TARGET_BRIGHTNESS,
    ASI_HARDWARE_BIN,
    ASI_HIGH_SPEED_MODE,
    ASI_COOLER_POWER_PERC,
    ASI_TARGET_TEMP,
    ASI_COOLER_ON,
    ASI_MONO_BIN,
    ASI_FAN_ON,
    ASI_PATTERN_ADJUST,
    ASI_ANTI_DEW_HEATER,
    ASI_FAN_ADJUST,
    ASI_PWRLED_BRIGNT,                  /* the SDK's own spelling */
    ASI_USBHUB_RESET,
    ASI_GPS_SUPPORT,
    ASI_GPS_START_LINE,
    ASI_GPS_END_LINE,
    ASI_ROLLING_INTERVAL
} ASI_CONTROL_TYPE;

typedef enum ASI_EXPOSURE_STATUS {
    ASI_EXP_IDLE = 0,
    ASI_EXP_WORKING,
    ASI_EXP_SUCCESS,
    ASI_EXP_FAILED
} ASI_EXPOSURE_STATUS;

typedef struct ASI_CAMERA_INFO {
    char Name[64];                      /* NUL-terminated when shorter than 64 bytes */
    int CameraID;
    long MaxHeight;
    long MaxWidth;
    ASI_BOOL IsColorCam;
    ASI_BAYER_PATTERN BayerPattern;
    int SupportedBins[16];              /* ended by 0 */
    ASI_IMG_TYPE SupportedVideoFormat[8]; /* ended by ASI_IMG_END */
    double PixelSize;                   /* micrometres */
    ASI_BOOL MechanicalShutter;
    ASI_BOOL ST4Port;
    ASI_BOOL IsCoolerCam;
    ASI_BOOL IsUSB3Host;
    ASI_BOOL IsUSB3Camera;
    float ElecPerADU;
    int BitDepth;
    ASI_BOOL IsTriggerCam;
    char Unused[16];
} ASI_CAMERA_INFO;

typedef struct ASI_CONTROL_CAPS {
    char Name[64];
    char Description[128];
    long MaxValue;
    long MinValue;
    long DefaultValue;
    ASI_BOOL IsAutoSupported;
    ASI_BOOL IsWritable;
    ASI_CONTROL_TYPE ControlType;
    char Unused[32];
} ASI_CONTROL_CAPS;

typedef struct ASI_ID {
    unsigned char id[8];
} ASI_ID;

typedef ASI_ID ASI_SN;                  /* the serial number has the ID's layout */

typedef struct ASI_SUPPORTED_MODE {
    ASI_CAMERA_MODE SupportedCameraMode[16]; /* ended by ASI_MODE_END */
} ASI_SUPPORTED_MODE;

typedef struct ASI_DATE_TIME {
    int Year;
    int Month;
    int Day;
    int Hour;
    int Minute;
    int Second;
    int Msecond;
    int Usecond;
    char Unused[64];
} ASI_DATE_TIME;

typedef struct ASI_GPS_DATA {
    ASI_DATE_TIME Datetime;
    double Latitude;
    double Longitude;
    int Altitude;
    int SatelliteNum;
    char Unused[64];
} ASI_GPS_DATA;

/* Discovery */
ASICAMERA_API int ASIGetNumOfConnectedCameras(void);
ASICAMERA_API ASI_ERROR_CODE ASIGetCameraProperty(ASI_CAMERA_INFO* pASICameraInfo, int iCameraIndex);
ASICAMERA_API ASI_ERROR_CODE ASIGetCameraPropertyByID(int iCameraID, ASI_CAMERA_INFO* pASICameraInfo);
ASICAMERA_API ASI_BOOL ASICameraCheck(int iVID, int iPID);
ASICAMERA_API const char* ASIGetSDKVersion(void);

/* Lifecycle */
ASICAMERA_API ASI_ERROR_CODE ASIOpenCamera(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIInitCamera(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASICloseCamera(int iCameraID);

/* Identity */
ASICAMERA_API ASI_ERROR_CODE ASIGetID(int iCameraID, ASI_ID* pID);
ASICAMERA_API ASI_ERROR_CODE ASISetID(int iCameraID, ASI_ID ID);
ASICAMERA_API ASI_ERROR_CODE ASIGetSerialNumber(int iCameraID, ASI_SN* pSN);

/* Controls */
ASICAMERA_API ASI_ERROR_CODE ASIGetNumOfControls(int iCameraID, int* piNumberOfControls);
ASICAMERA_API ASI_ERROR_CODE ASIGetControlCaps(int iCameraID, int iControlIndex, ASI_CONTROL_CAPS* pControlCaps);
ASICAMERA_API ASI_ERROR_CODE ASIGetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long* plValue, ASI_BOOL* pbAuto);
ASICAMERA_API ASI_ERROR_CODE ASISetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long lValue, ASI_BOOL bAuto);

/* Region of interest */
ASICAMERA_API ASI_ERROR_CODE ASISetROIFormat(int iCameraID, int iWidth, int iHeight, int iBin, ASI_IMG_TYPE Img_type);
ASICAMERA_API ASI_ERROR_CODE ASIGetROIFormat(int iCameraID, int* piWidth, int* piHeight, int* piBin, ASI_IMG_TYPE* pImg_type);
ASICAMERA_API ASI_ERROR_CODE ASISetStartPos(int iCameraID, int iStartX, int iStartY);
ASICAMERA_API ASI_ERROR_CODE ASIGetStartPos(int iCameraID, int* piStartX, int* piStartY);

/* Snap exposure */
ASICAMERA_API ASI_ERROR_CODE ASIStartExposure(int iCameraID, ASI_BOOL bIsDark);
ASICAMERA_API ASI_ERROR_CODE ASIStopExposure(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIGetExpStatus(int iCameraID, ASI_EXPOSURE_STATUS* pExpStatus);
ASICAMERA_API ASI_ERROR_CODE ASIGetDataAfterExp(int iCameraID, unsigned char* pBuffer, long lBuffSize);
ASICAMERA_API ASI_ERROR_CODE ASIGetDataAfterExpGPS(int iCameraID, unsigned char* pBuffer, long lBuffSize, ASI_GPS_DATA* gpsData);

/* Video */
ASICAMERA_API ASI_ERROR_CODE ASIStartVideoCapture(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIStopVideoCapture(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIGetVideoData(int iCameraID, unsigned char* pBuffer, long lBuffSize, int iWaitms);
ASICAMERA_API ASI_ERROR_CODE ASIGetVideoDataGPS(int iCameraID, unsigned char* pBuffer, long lBuffSize, int iWaitms, ASI_GPS_DATA* gpsData);
ASICAMERA_API ASI_ERROR_CODE ASIGetDroppedFrames(int iCameraID, int* piDropFrames);

/* Guiding, dark subtraction, presets */
ASICAMERA_API ASI_ERROR_CODE ASIPulseGuideOn(int iCameraID, ASI_GUIDE_DIRECTION direction);
ASICAMERA_API ASI_ERROR_CODE ASIPulseGuideOff(int iCameraID, ASI_GUIDE_DIRECTION direction);
ASICAMERA_API ASI_ERROR_CODE ASIEnableDarkSubtract(int iCameraID, char* pcBMPPath);
ASICAMERA_API ASI_ERROR_CODE ASIDisableDarkSubtract(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIGetGainOffset(int iCameraID, int* pOffset_HighestDR, int* pOffset_UnityGain,
                                              int* pGain_LowestRN, int* pOffset_LowestRN);
ASICAMERA_API ASI_ERROR_CODE ASIGetLMHGainOffset(int iCameraID, int* pLGain, int* pMGain, int* pHGain, int* pHOffset);

/* Camera modes and triggers */
ASICAMERA_API ASI_ERROR_CODE ASIGetCameraSupportMode(int iCameraID, ASI_SUPPORTED_MODE* pSupportedMode);
ASICAMERA_API ASI_ERROR_CODE ASIGetCameraMode(int iCameraID, ASI_CAMERA_MODE* mode);
ASICAMERA_API ASI_ERROR_CODE ASISetCameraMode(int iCameraID, ASI_CAMERA_MODE mode);
ASICAMERA_API ASI_ERROR_CODE ASISendSoftTrigger(int iCameraID, ASI_BOOL bStart);
ASICAMERA_API ASI_ERROR_CODE ASISetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT pin, ASI_BOOL bPinHigh,
                                                       long lDelay, long lDuration);
ASICAMERA_API ASI_ERROR_CODE ASIGetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT pin, ASI_BOOL* bPinHigh,
                                                       long* lDelay, long* lDuration);

/* GPS */
ASICAMERA_API ASI_ERROR_CODE ASIGPSGetData(int iCameraID, ASI_GPS_DATA* startLineGPSData, ASI_GPS_DATA* endLineGPSData);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Layouts. Enumerations are 32 bits; offsets follow the platform's long. */
#ifdef __cplusplus
#  include <cstddef>
#  define ASI_LAYOUT_ASSERT(cond) static_assert(cond, #cond)
#else
#  include <stddef.h>
#  define ASI_LAYOUT_ASSERT(cond) _Static_assert(cond, #cond)
#endif
ASI_LAYOUT_ASSERT(sizeof(ASI_BOOL) == 4 && sizeof(ASI_IMG_TYPE) == 4 && sizeof(ASI_CAMERA_MODE) == 4);
ASI_LAYOUT_ASSERT(sizeof(ASI_CONTROL_TYPE) == 4 && sizeof(ASI_ERROR_CODE) == 4 && sizeof(ASI_TRIG_OUTPUT) == 4);
ASI_LAYOUT_ASSERT(sizeof(ASI_ID) == 8 && sizeof(ASI_SN) == 8);
ASI_LAYOUT_ASSERT(sizeof(ASI_SUPPORTED_MODE) == 64);
ASI_LAYOUT_ASSERT(sizeof(ASI_DATE_TIME) == 96);
ASI_LAYOUT_ASSERT(offsetof(ASI_GPS_DATA, Latitude) == 96 && offsetof(ASI_GPS_DATA, Longitude) == 104);
ASI_LAYOUT_ASSERT(offsetof(ASI_GPS_DATA, Altitude) == 112 && offsetof(ASI_GPS_DATA, SatelliteNum) == 116);
ASI_LAYOUT_ASSERT(sizeof(ASI_GPS_DATA) == 184);
ASI_LAYOUT_ASSERT(offsetof(ASI_CAMERA_INFO, CameraID) == 64);
ASI_LAYOUT_ASSERT(offsetof(ASI_CONTROL_CAPS, Description) == 64 && offsetof(ASI_CONTROL_CAPS, MaxValue) == 192);
#if defined(_WIN32) /* LLP64: long is 32 bits */
ASI_LAYOUT_ASSERT(sizeof(long) == 4);
ASI_LAYOUT_ASSERT(offsetof(ASI_CAMERA_INFO, MaxHeight) == 68 && offsetof(ASI_CAMERA_INFO, MaxWidth) == 72);
ASI_LAYOUT_ASSERT(offsetof(ASI_CAMERA_INFO, IsColorCam) == 76 && offsetof(ASI_CAMERA_INFO, SupportedBins) == 84);
ASI_LAYOUT_ASSERT(offsetof(ASI_CAMERA_INFO, SupportedVideoFormat) == 148 && offsetof(ASI_CAMERA_INFO, PixelSize) == 184);
ASI_LAYOUT_ASSERT(offsetof(ASI_CAMERA_INFO, ElecPerADU) == 212 && offsetof(ASI_CAMERA_INFO, IsTriggerCam) == 220);
ASI_LAYOUT_ASSERT(sizeof(ASI_CAMERA_INFO) == 240);
ASI_LAYOUT_ASSERT(offsetof(ASI_CONTROL_CAPS, DefaultValue) == 200 && offsetof(ASI_CONTROL_CAPS, ControlType) == 212);
ASI_LAYOUT_ASSERT(sizeof(ASI_CONTROL_CAPS) == 248);
#else /* LP64: long is 64 bits */
ASI_LAYOUT_ASSERT(sizeof(long) == 8);
ASI_LAYOUT_ASSERT(offsetof(ASI_CAMERA_INFO, MaxHeight) == 72 && offsetof(ASI_CAMERA_INFO, MaxWidth) == 80);
ASI_LAYOUT_ASSERT(offsetof(ASI_CAMERA_INFO, IsColorCam) == 88 && offsetof(ASI_CAMERA_INFO, SupportedBins) == 96);
ASI_LAYOUT_ASSERT(offsetof(ASI_CAMERA_INFO, SupportedVideoFormat) == 160 && offsetof(ASI_CAMERA_INFO, PixelSize) == 192);
ASI_LAYOUT_ASSERT(offsetof(ASI_CAMERA_INFO, ElecPerADU) == 220 && offsetof(ASI_CAMERA_INFO, IsTriggerCam) == 228);
ASI_LAYOUT_ASSERT(sizeof(ASI_CAMERA_INFO) == 248);
ASI_LAYOUT_ASSERT(offsetof(ASI_CONTROL_CAPS, DefaultValue) == 208 && offsetof(ASI_CONTROL_CAPS, ControlType) == 224);
ASI_LAYOUT_ASSERT(sizeof(ASI_CONTROL_CAPS) == 264);
#endif
#undef ASI_LAYOUT_ASSERT

#endif /* ASICAMERA2_H */
