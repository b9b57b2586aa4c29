cmake_minimum_required(VERSION 3.25)
# cmake -DIN=CHANGELOG.md -DOUT=changelog -DPACKAGE=name "-DMAINTAINER=Name <address>"
#       -P debian_changelog.cmake
# Writes the project's changelog in the format dpkg and lintian read: one
# entry per "## VERSION (YYYY-MM-DD)" heading, its text indented under it,
# "- " items as "* " items, "### " headings as "Heading:" lines, and a
# trailer dated midnight UTC of the release day. What comes before the
# first version heading (the file's preamble, and an "## Unreleased"
# section, which no package version names) is left out.
# The text is not rewrapped: a line of the Markdown file must stay within
# 78 columns to stay within the 80 the format allows once indented.

# Day of the week (Sakamoto's method) and month name of an ISO date, in
# the form a changelog trailer takes: "Wed, 09 Dec 2026 00:00:00 +0000".
function(trailer_date iso out)
  string(REGEX MATCH "^([0-9]+)-([0-9]+)-([0-9]+)$" matched "${iso}")
  if(NOT matched)
    message(FATAL_ERROR "${IN}: not a YYYY-MM-DD date: ${iso}")
  endif()
  set(y ${CMAKE_MATCH_1})
  math(EXPR m "${CMAKE_MATCH_2}")  # no leading zero, or math reads octal
  math(EXPR d "${CMAKE_MATCH_3}")
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR i "${m} - 1")
  list(GET offsets ${i} offset)
  if(m LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday
       "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${d}) % 7")
  set(days Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET days ${weekday} day_name)
  list(GET months ${i} month_name)
  set(${out}
      "${day_name}, ${CMAKE_MATCH_3} ${month_name} ${CMAKE_MATCH_1} 00:00:00 +0000"
      PARENT_SCOPE)
endfunction()

file(READ "${IN}" text)
set(result "")
set(entry_date "")  # the open entry's date; empty before the first one
set(blank FALSE)    # a blank line is pending inside the open entry

# Line by line through the string itself: a CMake list would split lines
# at their semicolons and merge them at unbalanced brackets.
while(NOT text STREQUAL "")
  string(FIND "${text}" "\n" end)
  if(end EQUAL -1)
    set(line "${text}")
    set(text "")
  else()
    string(SUBSTRING "${text}" 0 ${end} line)
    math(EXPR next "${end} + 1")
    string(SUBSTRING "${text}" ${next} -1 text)
  endif()
  string(REGEX REPLACE "[ \t\r]+$" "" line "${line}")

  if(line MATCHES "^## ([^ ]+) \\(([0-9-]+)\\)$")
    set(version "${CMAKE_MATCH_1}")
    set(date "${CMAKE_MATCH_2}")
    if(NOT entry_date STREQUAL "")
      trailer_date("${entry_date}" stamp)
      string(APPEND result "\n -- ${MAINTAINER}  ${stamp}\n\n")
    endif()
    string(APPEND result "${PACKAGE} (${version}) unstable; urgency=medium\n\n")
    set(entry_date "${date}")
    set(blank FALSE)
    continue()
  endif()
  if(entry_date STREQUAL "")
    continue()
  endif()
  if(line STREQUAL "")
    # Held back: only a line that follows makes it a separator.
    if(NOT result MATCHES "\n\n$")
      set(blank TRUE)
    endif()
    continue()
  endif()
  if(blank)
    string(APPEND result "\n")
    set(blank FALSE)
  endif()
  if(line MATCHES "^### (.*)$")
    string(APPEND result "  ${CMAKE_MATCH_1}:\n")
  elseif(line MATCHES "^- (.*)$")
    string(APPEND result "  * ${CMAKE_MATCH_1}\n")
  else()
    string(APPEND result "  ${line}\n")
  endif()
endwhile()

if(entry_date STREQUAL "")
  message(FATAL_ERROR "${IN}: no \"## VERSION (YYYY-MM-DD)\" heading")
endif()
trailer_date("${entry_date}" stamp)
string(APPEND result "\n -- ${MAINTAINER}  ${stamp}\n")
file(WRITE "${OUT}" "${result}")
