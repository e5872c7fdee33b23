# The database cases (tests/e2e/db_*.case) run twice: on SQLite and against a
# private PostgreSQL server that a fixture starts for the run. A missing
# PostgreSQL installation fails the fixture, and with it every PostgreSQL
# case: the suite is never skipped silently.
#
# The cases fill their .braxel and setup scripts from these placeholders:
#   DBHOST DBNAME DBUSER  the configuration entries
#   DBINIT                empties the database
#   DBSQL                 runs SQL from standard input, printing rows as sqlite3 does
#   DBMISSING             a database name that does not exist
file(GLOB DB_CASES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/db_*.case)

string(MD5 BRAXEL_PG_TAG "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${BRAXEL_PG_TAG}" 0 10 BRAXEL_PG_TAG)
set(BRAXEL_PG_DIR /tmp/braxel-pg-${BRAXEL_PG_TAG})
set(BRAXEL_PG_SOCK ${BRAXEL_PG_DIR}/sock)
set(BRAXEL_PG_SQL "bash ${CMAKE_CURRENT_SOURCE_DIR}/pg/sql.sh ${BRAXEL_PG_SOCK}")

add_test(NAME pg.start COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/pg/start.sh ${BRAXEL_PG_DIR})
add_test(NAME pg.stop COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/pg/stop.sh ${BRAXEL_PG_DIR})
set_tests_properties(pg.start PROPERTIES FIXTURES_SETUP pgserver TIMEOUT 120)
set_tests_properties(pg.stop PROPERTIES FIXTURES_CLEANUP pgserver TIMEOUT 120)

set(SQLITE_DEFINES
  --define DBHOST=- --define DBNAME=test.db --define DBUSER=-
  --define DBINIT=true --define "DBSQL=sqlite3 test.db" --define DBMISSING=missing.db)
set(PG_DEFINES
  --define DBHOST=${BRAXEL_PG_SOCK} --define DBNAME=braxel_test --define DBUSER=braxel
  --define "DBINIT=${BRAXEL_PG_SQL} -c 'drop schema public cascade' -c 'create schema public'"
  --define "DBSQL=${BRAXEL_PG_SQL}" --define DBMISSING=braxel_missing)

# db_session.case runs a third time with sessions in files; on SQLite and
# PostgreSQL its sessions live in the database (sessionstore=database). Its
# own placeholders are described at its top.
set(SESSION_ROW "bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/session_row.sh")
set(FILES_SESSION_DEFINES
  --define SESSIONSTORE=file --define SESSIONDB= --define SESSIONINIT=true --define SESSIONROW=true)
set(SQLITE_SESSION_DEFINES
  --define SESSIONSTORE=database --define SESSIONDB=dbname=test.db
  --define "SESSIONINIT=sqlite3 test.db 'create table page(x)'"
  --define "SESSIONROW=${SESSION_ROW} sqlite test.db-sessions")
set(PG_SESSION_DEFINES
  --define SESSIONSTORE=database
  --define "SESSIONDB=dbname=braxel_test dbhost=${BRAXEL_PG_SOCK} user=braxel"
  --define "SESSIONINIT=${BRAXEL_PG_SQL} -c 'drop schema public cascade' -c 'create schema public'"
  --define "SESSIONROW=${SESSION_ROW} postgres ${BRAXEL_PG_SOCK}")

# The variants a database case runs in: on SQLite and on PostgreSQL (the
# two cases named after one database only there), db_session with files too.
function(db_case_variants name out)
  set(variants "")
  if(name STREQUAL "db_session")
    list(APPEND variants files)
  endif()
  if(NOT name STREQUAL "db_postgres")
    list(APPEND variants sqlite)
  endif()
  if(NOT name STREQUAL "db_sqlite")
    list(APPEND variants postgres)
  endif()
  set(${out} ${variants} PARENT_SCOPE)
endfunction()

# The runner's defines of a variant.
function(db_variant_defines variant out)
  if(variant STREQUAL "files")
    set(${out} ${SQLITE_DEFINES} ${FILES_SESSION_DEFINES} PARENT_SCOPE)
  elseif(variant STREQUAL "sqlite")
    set(${out} ${SQLITE_DEFINES} ${SQLITE_SESSION_DEFINES} PARENT_SCOPE)
  else()
    set(${out} ${PG_DEFINES} ${PG_SESSION_DEFINES} PARENT_SCOPE)
  endif()
endfunction()
