# Database backends. SQLite is compiled into braxel_core (db/dbi_sqlite.cpp).
# The PostgreSQL backend is a module next to the braxel program, loaded with
# dlopen only when a configuration names a dbhost, so that libpq and its
# dependencies never slow down the start of other requests.
find_path(BRAXEL_PQ_INCLUDE libpq-fe.h PATH_SUFFIXES postgresql)
find_library(BRAXEL_PQ_LIBRARY NAMES pq)
if(NOT BRAXEL_PQ_INCLUDE OR NOT BRAXEL_PQ_LIBRARY)
  message(FATAL_ERROR "libpq (Debian package libpq-dev) is needed for the PostgreSQL backend")
endif()

add_library(braxel_pg MODULE ${CMAKE_SOURCE_DIR}/db/pg/dbi_pg.cpp)
set_target_properties(braxel_pg PROPERTIES
  PREFIX ""
  OUTPUT_NAME braxel_pg
  LIBRARY_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:braxel>
  CXX_VISIBILITY_PRESET hidden)
target_include_directories(braxel_pg PRIVATE ${BRAXEL_PQ_INCLUDE})
target_compile_options(braxel_pg PRIVATE -fPIC -fno-exceptions -fno-rtti)
target_link_libraries(braxel_pg PRIVATE ${BRAXEL_PQ_LIBRARY})
if(NOT BRAXEL_SANITIZE)
  target_link_options(braxel_pg PRIVATE -static-libstdc++ -static-libgcc)
endif()
add_dependencies(braxel braxel_pg)
