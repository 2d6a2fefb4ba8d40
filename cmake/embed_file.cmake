# Writes a C++ source that holds the bytes of INPUT as the array SYMBOL, with SYMBOL_SIZE.
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=NAME -P embed_file.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n#include <stddef.h>\n"
  "extern const unsigned char ${SYMBOL}[] = {\n${bytes}};\n"
  "extern const size_t ${SYMBOL}_SIZE = ${size};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
