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
