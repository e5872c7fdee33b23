# parser.cmake: the parser throughput benchmark (built on demand by bench/parse.sh).
add_executable(bench_parse EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/parse_bench.cpp)
target_link_libraries(bench_parse PRIVATE braxel_core)
