# Eigen comes from the package index (cmeel-eigen installs it below
# site-packages/cmeel.prefix); a system Eigen found by CMake is the fallback.
if(NOT TARGET Eigen3::Eigen)
  if(NOT Python_EXECUTABLE)
    find_package(Python 3.12 COMPONENTS Interpreter)
  endif()
  if(Python_EXECUTABLE)
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -c
        "import sys, pathlib; print(next((str(p) for p in (pathlib.Path(s) / 'cmeel.prefix' for s in sys.path if s) if p.is_dir()), ''))"
      OUTPUT_STRIP_TRAILING_WHITESPACE OUTPUT_VARIABLE cmeel_prefix)
    if(cmeel_prefix)
      list(APPEND CMAKE_PREFIX_PATH "${cmeel_prefix}")
    endif()
  endif()
  find_package(Eigen3 3.4 REQUIRED NO_MODULE)
endif()
