# OVELIN_SANITIZE builds every target of the directory that includes this file
# (and its subdirectories) with AddressSanitizer and UndefinedBehaviorSanitizer.
# Undefined-behaviour checks stay recoverable so that a report in a third-party
# header can be suppressed at run time; the run makes every other report fatal
# (UBSAN_OPTIONS=halt_on_error=1). Frame pointers keep the reports' stacks readable.
include_guard(GLOBAL)
option(OVELIN_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(OVELIN_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    message(FATAL_ERROR "OVELIN_SANITIZE needs GCC or Clang")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
