tg_fuzz_target(movie_fuzz movie_fuzz.cpp 10000)
