# Compile options of kernel code, the same in both builds: no exceptions, no
# RTTI, no C++ runtime, checked (DBG=1) kernel structures. Pool tags are
# multi-character constants by design. Every tree builds without a warning,
# so one is an error.
set(MPS_DRIVER_CXX_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -Wall -Wextra -Wno-multichar -Wno-unknown-pragmas -Wno-invalid-offsetof -Werror)
set(MPS_DRIVER_DEFINES DBG=1)
