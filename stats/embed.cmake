# Writes the file IN as a C++ string constant qstats::kDashboardHtml to OUT.
file(READ ${IN} content)
set(delim "QUILO_HTML")
string(FIND "${content}" ")${delim}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} contains the raw-string delimiter")
endif()
file(WRITE ${OUT} "// Generated from dashboard.html by embed.cmake.\n#include \"server.hh\"\n"
     "namespace qstats {\nconst char kDashboardHtml[] = R\"${delim}(${content})${delim}\";\n}\n")
