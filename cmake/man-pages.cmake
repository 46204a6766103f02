# Renders every page of one scdoc source into OUT_DIR as name.section.gz. Each page starts at a
# title line "name(section)"; the pages share one source so that what they say alike stays alike.
#   cmake -DSOURCE=... -DOUT_DIR=... -DSCDOC=... -DGZIP=... -P man-pages.cmake
file(STRINGS "${SOURCE}" lines ENCODING UTF-8)
file(MAKE_DIRECTORY "${OUT_DIR}")

set(pages)
set(page "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([a-z][a-z0-9-]*)\\(([1-9])\\)")
    set(page "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}")
    list(APPEND pages "${page}")
    set(text_${page} "")
  endif()
  if(page STREQUAL "")
    message(FATAL_ERROR "${SOURCE}: text before the first page's title line")
  endif()
  string(APPEND text_${page} "${line}\n")
endforeach()

foreach(page IN LISTS pages)
  set(part "${OUT_DIR}/${page}.scd")
  file(WRITE "${part}" "${text_${page}}")
  execute_process(COMMAND "${SCDOC}" INPUT_FILE "${part}" OUTPUT_FILE "${OUT_DIR}/${page}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "scdoc failed on ${page}")
  endif()
  # -n: no name or time stamp inside, so the same source always gives the same bytes.
  execute_process(COMMAND "${GZIP}" -9 -n -f "${OUT_DIR}/${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${page}")
  endif()
  file(REMOVE "${part}")
endforeach()
