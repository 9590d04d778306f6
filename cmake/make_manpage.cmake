# cmake -DCOMMAND=<program> -DNAME=<name> -DVERSION=<v> -DSOURCE=<page> -DOUTPUT=<page>
#       -P make_manpage.cmake
# Writes OUTPUT.gz: SOURCE when it exists, else a page made of the
# program's --help (its first line the summary, the rest as it prints it).
if(EXISTS ${SOURCE})
  file(READ ${SOURCE} page)
else()
  execute_process(COMMAND ${COMMAND} --help OUTPUT_VARIABLE help RESULT_VARIABLE status
                  ERROR_QUIET)
  if(NOT status EQUAL 0 OR help STREQUAL "")
    message(FATAL_ERROR "${NAME} --help gave nothing to make its manual page of")
  endif()
  # The first line is the summary ("name - what it does"); lines in capitals
  # are section headings; the rest is kept as printed.
  string(FIND "${help}" "\n" end)
  string(SUBSTRING "${help}" 0 ${end} summary)
  math(EXPR end "${end} + 1")
  string(SUBSTRING "${help}" ${end} -1 body)
  string(REGEX REPLACE "^${NAME} +- +" "" summary "${summary}")
  # roff: a backslash is written \e, and a line may not start with . or '.
  string(REPLACE "\\" "\\e" body "${body}")
  string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" body "${body}")
  string(REGEX REPLACE "\n([A-Z][A-Z ]+)\n" "\n.fi\n.SH \\1\n.nf\n" body "\n${body}")
  string(TOUPPER ${NAME} title)
  string(CONCAT page ".TH ${title} 1 \"\" \"eklogger ${VERSION}\" \"User Commands\"\n"
           ".SH NAME\n${NAME} \\- ${summary}\n.nf\n${body}\n.fi\n")
endif()
file(WRITE ${OUTPUT} "${page}")
execute_process(COMMAND gzip -9nf ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot compress ${OUTPUT}")
endif()
