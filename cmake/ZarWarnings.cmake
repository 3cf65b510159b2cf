# The one place that sets warning flags for every target of the project.
add_library(zar_warnings INTERFACE)
target_compile_options(zar_warnings INTERFACE -Wall -Wextra -Wshadow)
if(ZAR_WERROR)
  target_compile_options(zar_warnings INTERFACE -Werror)
endif()
