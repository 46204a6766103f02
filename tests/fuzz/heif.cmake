tg_fuzz_target(heif_fuzz heif_fuzz.cpp 30000)
