// The 42 exported functions of ASICamera2.h, made from the function list: each passes its
// arguments to its work in namespace sdk through the control interface.
#include "control.hpp"

using namespace asisim;

extern "C" {

#define ASISIM_EXPORT(result, name, ...)                                                           \
    ASICAMERA_API result ASI##name(ASISIM_FOR_EACH(ASISIM_PARAMETER, __VA_ARGS__)) {               \
        return call(Fn::name,                                                                      \
                    &sdk::name __VA_OPT__(, ) ASISIM_FOR_EACH(ASISIM_AS_WORK, __VA_ARGS__));       \
    }
ASISIM_SDK_FUNCTIONS(ASISIM_EXPORT)
#undef ASISIM_EXPORT

} // extern "C"
