# The folders whose window texts the English catalogue covers, from the
# repository root (TALVEX_SOURCE_ROOT): every folder of the program, so that a
# new window's folder is covered without a change here. The tests, benchmarks
# and packaging hold no window texts.
file(GLOB lists RELATIVE ${TALVEX_SOURCE_ROOT} ${TALVEX_SOURCE_ROOT}/*/CMakeLists.txt)
set(TALVEX_CATALOGUE_SOURCE_DIRS "")
foreach(list IN LISTS lists)
  get_filename_component(dir ${list} DIRECTORY)
  if(NOT dir MATCHES "^(tests|bench|packaging|translations)$")
    list(APPEND TALVEX_CATALOGUE_SOURCE_DIRS ${dir})
  endif()
endforeach()
