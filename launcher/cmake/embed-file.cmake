# Turns a binary file into a C++ source that defines an array with its bytes.
# Usage: cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P embed-file.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# One line per 32 bytes keeps the generated file readable for a compiler's diagnostics.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n  " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <cstddef>\n"
  "extern const unsigned char ${SYMBOL}[] = {\n  ${bytes}\n};\n"
  "extern const std::size_t ${SYMBOL}_size = ${size};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
