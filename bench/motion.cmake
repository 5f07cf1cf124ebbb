# Motion generator: per second of audio, the log-mel window against NumPy, live
# real-time factor; see bench/bench_motion.cpp for the commands.
ka_add_bench(bench_motion SOURCES bench_motion.cpp)
target_compile_definitions(bench_motion PRIVATE KA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
