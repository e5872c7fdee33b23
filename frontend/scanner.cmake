# scanner.cmake: generates the template scanner from frontend/scanner.re with
# re2c (3.0 or newer) into the build folder. The generated file is never
# committed; a missing re2c stops the configuration with a clear message.
find_program(RE2C_EXECUTABLE re2c)
if(NOT RE2C_EXECUTABLE)
  message(FATAL_ERROR "re2c was not found: the scanner is generated with re2c 3.0 or newer "
                      "(scripts/setup installs it, or: apt-get install re2c)")
endif()
execute_process(COMMAND ${RE2C_EXECUTABLE} --version
                OUTPUT_VARIABLE RE2C_VERSION_TEXT OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "[0-9]+\\.[0-9]+(\\.[0-9]+)*" RE2C_VERSION "${RE2C_VERSION_TEXT}")
if(NOT RE2C_VERSION OR RE2C_VERSION VERSION_LESS 3.0)
  message(FATAL_ERROR "re2c ${RE2C_VERSION} at ${RE2C_EXECUTABLE} is too old: "
                      "the scanner needs re2c 3.0 or newer")
endif()

set(BRAXEL_SCANNER_SOURCE ${CMAKE_BINARY_DIR}/generated/scanner.cpp)
add_custom_command(
  OUTPUT ${BRAXEL_SCANNER_SOURCE}
  COMMAND ${RE2C_EXECUTABLE} -c -W -Werror --no-generation-date --no-version
          -o ${BRAXEL_SCANNER_SOURCE} ${CMAKE_SOURCE_DIR}/frontend/scanner.re
  DEPENDS ${CMAKE_SOURCE_DIR}/frontend/scanner.re
  COMMENT "Generating the scanner with re2c"
  VERBATIM)
list(APPEND BRAXEL_GENERATED_SOURCES ${BRAXEL_SCANNER_SOURCE})
