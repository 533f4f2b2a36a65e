# Writes a C++ source that carries text files as string constants, the way a
# Windows module carries resources. Run with cmake -P:
#   -DOUTPUT=<file.cpp> -DHEADER=<header to include> -DNAMES=<n1|n2> -DFILES=<f1|f2>
# Each file becomes `std::string_view <name>()` in the global namespace.
string(REPLACE "|" ";" NAMES "${NAMES}")
string(REPLACE "|" ";" FILES "${FILES}")
list(LENGTH NAMES count)
math(EXPR last "${count} - 1")
set(content "// Generated from the files it names; edit those instead.\n#include \"${HEADER}\"\n")
foreach(index RANGE ${last})
  list(GET NAMES ${index} name)
  list(GET FILES ${index} file)
  file(READ ${file} text)
  string(FIND "${text}" ")vxres\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} contains the raw-string delimiter )vxres\"")
  endif()
  string(APPEND content "\n// ${file}\nstd::string_view ${name}() {\n  return R\"vxres(${text})vxres\";\n}\n")
endforeach()
file(WRITE ${OUTPUT}.new "${content}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
