tg_fuzz_target(image_fuzz image_fuzz.cpp 30000)
