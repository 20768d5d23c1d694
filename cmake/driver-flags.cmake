# Compile options of kernel code, the same in both builds: no exceptions, no
# RTTI, no C++ runtime, checked (DBG=1) kernel structures.
set(MPS_DRIVER_CXX_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -Wall -Wextra -Wno-multichar -Wno-unknown-pragmas -Wno-invalid-offsetof)
set(MPS_DRIVER_DEFINES DBG=1)
