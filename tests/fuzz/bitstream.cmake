tg_fuzz_target(bitstream_fuzz bitstream_fuzz.cpp 30000)
