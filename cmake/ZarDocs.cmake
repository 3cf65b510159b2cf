# The `docs` target: the API reference from the public headers' comments
# (Doxygen, <build>/docs/html/index.html). It runs Doxygen twice: once
# reading only documented entities, which makes Doxygen warn about every
# class without a comment, and once for the reference itself, which shows
# every entity. The target fails when a class in a public header has no
# comment or a comment Doxygen cannot read.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  set(ZAR_DOCS_OUT ${PROJECT_BINARY_DIR}/docs)
  set(ZAR_DOCS_GENERATED ${PROJECT_BINARY_DIR}/generated)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${ZAR_DOCS_OUT}/Doxyfile @ONLY)
  file(WRITE ${ZAR_DOCS_OUT}/Doxyfile.check
    "@INCLUDE = ${ZAR_DOCS_OUT}/Doxyfile\nEXTRACT_ALL = NO\nGENERATE_HTML = NO\nGENERATE_XML = YES\nXML_OUTPUT = check-xml\n"
    "WARN_IF_UNDOCUMENTED = YES\nWARN_LOGFILE = ${ZAR_DOCS_OUT}/undocumented.log\n")
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E rm -f undocumented.log warnings.log
    COMMAND Doxygen::doxygen Doxyfile.check
    COMMAND Doxygen::doxygen Doxyfile
    COMMAND ${CMAKE_COMMAND} -DZAR_DOCS_OUT=${ZAR_DOCS_OUT} -P ${PROJECT_SOURCE_DIR}/cmake/ZarCheckDocs.cmake
    WORKING_DIRECTORY ${ZAR_DOCS_OUT}
    COMMENT "API reference: ${ZAR_DOCS_OUT}/html/index.html"
    VERBATIM)
else()
  message(STATUS "doxygen not found: no docs target (scripts/bootstrap.sh installs it)")
endif()
