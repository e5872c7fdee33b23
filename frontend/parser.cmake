# parser.cmake: the parser tables, generated from frontend/grammar.y by bison's
# XML report and scripts/lalr_tables.py into the build tree's generated folder.
find_program(BISON_EXECUTABLE bison)
if(NOT BISON_EXECUTABLE)
  message(FATAL_ERROR
    "bison not found: the parser tables are generated from frontend/grammar.y "
    "with bison 3.8.2 (Debian package bison; scripts/setup installs it)")
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(PARSER_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
add_custom_command(
  OUTPUT ${PARSER_GENERATED_DIR}/parser_tables.h ${PARSER_GENERATED_DIR}/parser_tables.cpp
  COMMAND ${BISON_EXECUTABLE} -Wall -Werror
          --xml=${PARSER_GENERATED_DIR}/grammar.xml
          -o ${PARSER_GENERATED_DIR}/grammar.tab.c
          ${CMAKE_SOURCE_DIR}/frontend/grammar.y
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/lalr_tables.py
          ${CMAKE_SOURCE_DIR}/frontend/grammar.y
          ${PARSER_GENERATED_DIR}/grammar.xml
          ${PARSER_GENERATED_DIR}
  DEPENDS ${CMAKE_SOURCE_DIR}/frontend/grammar.y ${CMAKE_SOURCE_DIR}/scripts/lalr_tables.py
  COMMENT "Generating the parser tables from frontend/grammar.y"
  VERBATIM)
list(APPEND BRAXEL_GENERATED_SOURCES
  ${PARSER_GENERATED_DIR}/parser_tables.h
  ${PARSER_GENERATED_DIR}/parser_tables.cpp)
