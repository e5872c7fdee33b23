# The end-to-end cases once more through FastCGI (run.py --fastcgi): each
# case is served by a worker that the runner starts on a socket, each of its
# runs one request, and every request must give what the CGI run gives. The
# database cases run in the variants of postgres.cmake (whose defines are
# used here): on SQLite, on PostgreSQL, and db_session with files too.
foreach(case ${E2E_CASES} ${DB_CASES})
  get_filename_component(name ${case} NAME_WE)
  if(name MATCHES "^db_")
    db_case_variants(${name} variants)
  else()
    set(variants plain)
  endif()
  foreach(variant IN LISTS variants)
    set(test fastcgi.${name})
    set(defines "")
    if(NOT variant STREQUAL "plain")
      set(test ${test}.${variant})
      db_variant_defines(${variant} defines)
    endif()
    add_test(NAME ${test}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run.py --fastcgi
                     --binary $<TARGET_FILE:braxel> ${defines} ${case})
    set_tests_properties(${test} PROPERTIES TIMEOUT 300)
    if(variant STREQUAL "postgres")
      set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED pgserver RESOURCE_LOCK pgserver)
    endif()
    if(BRAXEL_SANITIZE)
      # A request ended by a fatal error leaves what its frames held.
      set_tests_properties(${test} PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
    endif()
  endforeach()
endforeach()

# The workers (recycled, replaced after SIGKILL, stopped by SIGTERM after
# the request in flight) and a worker's memory over 100,000 requests (under
# the sanitizer: fewer requests, and LeakSanitizer at the worker's exit).
set(FCGI_WORKERS ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/fastcgi/workers.py)
add_test(NAME fastcgi.workers COMMAND ${FCGI_WORKERS} workers --binary $<TARGET_FILE:braxel>)
if(BRAXEL_SANITIZE)
  add_test(NAME fastcgi.memory
           COMMAND ${FCGI_WORKERS} memory --binary $<TARGET_FILE:braxel> --requests 3000 --sanitized)
else()
  add_test(NAME fastcgi.memory
           COMMAND ${FCGI_WORKERS} memory --binary $<TARGET_FILE:braxel> --requests 100000)
endif()
set_tests_properties(fastcgi.workers fastcgi.memory PROPERTIES TIMEOUT 300)
