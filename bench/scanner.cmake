# scanner.cmake: the scanner throughput benchmark (built on demand by bench/scan.sh).
add_executable(bench_scan EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/scan_bench.cpp)
target_link_libraries(bench_scan PRIVATE braxel_core)
