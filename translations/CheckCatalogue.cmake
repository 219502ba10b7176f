# Runs lupdate over the sources into a copy of the catalogue and fails when the
# copy holds an entry without its English (a new or changed window text) or one
# whose text the sources no longer have. Called by the build before lrelease, so
# an unfinished catalogue stops the build, and by the test translation_catalogue.
#   cmake -DLUPDATE=... -DCATALOGUE=talvex_en.ts -DSOURCE_DIR=... -DWORK=... [-DSTAMP=...] -P CheckCatalogue.cmake
set(TALVEX_SOURCE_ROOT ${SOURCE_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/CatalogueSources.cmake)

file(MAKE_DIRECTORY ${WORK})
set(copy ${WORK}/talvex_en.checked.ts)
file(COPY_FILE ${CATALOGUE} ${copy})
set(dirs "")
foreach(dir IN LISTS TALVEX_CATALOGUE_SOURCE_DIRS)
  list(APPEND dirs ${SOURCE_DIR}/${dir})
endforeach()
execute_process(
  COMMAND ${LUPDATE} -silent -locations none -source-language zh_CN -target-language en ${dirs} -ts ${copy}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "lupdate failed on ${CATALOGUE}")
endif()

# Each <message> with the text it holds, to name the faulty entries.
file(READ ${copy} ts)
string(REGEX MATCHALL "<source>[^<]*(<byte value=\"x[0-9a-f]+\"/>[^<]*)*</source>[^<]*<translation[^>]*>" entries "${ts}")
set(unfinished "")
set(stale "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^<source>(.*)</source>.*$" "\\1" text "${entry}")
  if(entry MATCHES "type=\"unfinished\"")
    string(APPEND unfinished "\n  ${text}")
  elseif(entry MATCHES "type=\"(vanished|obsolete)\"")
    string(APPEND stale "\n  ${text}")
  endif()
endforeach()
set(advice "\nRun `make translations` to bring ${CATALOGUE} up to date with the sources, then give each new entry its English (and remove the type=\"unfinished\" mark).")
set(faults "")
if(NOT unfinished STREQUAL "")
  string(APPEND faults "\nwindow texts without English:${unfinished}")
endif()
if(NOT stale STREQUAL "")
  string(APPEND faults "\nentries whose text no source has any more:${stale}")
endif()
if(NOT faults STREQUAL "")
  message(FATAL_ERROR "${CATALOGUE} is not finished:${faults}${advice}")
endif()
if(DEFINED STAMP)
  file(TOUCH ${STAMP})
endif()
