# The bake is timed through its helper, tintguard-bake, which takes the same two arguments.
add_dependencies(benchmarks tintguard-bake)
