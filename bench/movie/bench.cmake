add_executable(tg_movie_tag ${CMAKE_CURRENT_LIST_DIR}/tg_movie_tag.cpp)
target_link_libraries(tg_movie_tag PRIVATE tg_movie)
add_dependencies(benchmarks tg_movie_tag)
