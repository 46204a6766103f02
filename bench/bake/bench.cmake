add_executable(tg_bake ${CMAKE_CURRENT_LIST_DIR}/tg_bake.cpp)
target_link_libraries(tg_bake PRIVATE tintguard_core)
add_dependencies(benchmarks tg_bake)
