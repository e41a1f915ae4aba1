# Turns the dashboard's files into one C++ source of byte arrays, so that the
# daemon serves them without any file beside it.
#   cmake -DDIR=<folder of the files> -DOUT=<generated .cpp> -P embed.cmake
file(GLOB files RELATIVE ${DIR} ${DIR}/*.html ${DIR}/*.css ${DIR}/*.js ${DIR}/*.svg)
list(SORT files)
set(arrays "")
set(table "")
set(n 0)
foreach(name ${files})
  file(READ ${DIR}/${name} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # A trailing 0 keeps an empty file's array legal; it is not served.
  string(APPEND arrays "const unsigned char f${n}[] = {${bytes}0};\n")
  string(APPEND table "    {\"/${name}\", {reinterpret_cast<const char*>(f${n}), sizeof f${n} - 1}},\n")
  math(EXPR n "${n} + 1")
endforeach()
set(text "// Generated from service/web by embed.cmake; do not edit.\n#include \"service/web/WebFiles.h\"\n\nnamespace smd::web {\nnamespace {\n${arrays}}  // namespace\n\nconst std::vector<StaticFile>& Files() {\n    static const std::vector<StaticFile> files = {\n${table}    };\n    return files;\n}\n\n}  // namespace smd::web\n")
# Rewritten only when it changed, so that a touched but equal file rebuilds nothing.
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUT} "${text}")
endif()
