# The whole-machine fault sweeps take seconds each: started before the
# short tests.
set(MPS_TEST_COST 20)
