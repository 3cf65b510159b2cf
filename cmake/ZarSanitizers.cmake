# Sanitizer builds apply to every target (library, tests, demo) so that
# reports cover the whole process.
if(ZAR_SANITIZE STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(ZAR_SANITIZE STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ZAR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZAR_SANITIZE must be '', 'asan' or 'tsan'")
endif()
