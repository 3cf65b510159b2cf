# Run by the `docs` target after Doxygen (cmake -DZAR_DOCS_OUT=... -P):
# fails on a class without a comment and on any comment Doxygen could not
# read. Undocumented members are not reported: a method whose name and
# header say enough carries no comment, by the library's habit.
file(STRINGS ${ZAR_DOCS_OUT}/undocumented.log undocumented REGEX "warning: Compound .* is not documented")
file(STRINGS ${ZAR_DOCS_OUT}/warnings.log unreadable REGEX "warning:")
set(problems ${undocumented} ${unreadable})
if(problems)
  list(JOIN problems "\n" text)
  message(FATAL_ERROR "API reference: fix these header comments:\n${text}")
endif()
