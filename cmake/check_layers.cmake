# Refuses an include that goes against the layers of the program, so that the
# folders keep depending one way:
#   platform <- core <- listing <- fileops <- sync <- run <- main.cpp
# A file may include headers of its own folder and of the folders below it.
# Only the system layers (platform/posix, platform/windows) include system
# headers or speak of errno, and neither includes the other.
#
#   cmake -DSOURCE_DIR=<src> -P check_layers.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<src> -P check_layers.cmake")
endif()

set(layers platform core listing fileops sync run)
set(system_headers
  unistd.h fcntl.h dirent.h termios.h signal.h csignal errno.h cerrno
  windows.h io.h conio.h direct.h winbase.h winioctl.h)

file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.cpp)
set(faults "")
foreach(source IN LISTS sources)
  if(source MATCHES "_test\\.cpp$")
    continue()
  endif()
  string(REGEX MATCH "^[^/]+" folder "${source}")
  list(FIND layers "${folder}" own_layer)
  if(own_layer EQUAL -1)
    list(LENGTH layers own_layer)   # main.cpp stands above every folder
  endif()
  set(system_layer "")
  if(source MATCHES "^platform/(posix|windows)/")
    set(system_layer "${CMAKE_MATCH_1}")
  endif()

  file(STRINGS ${SOURCE_DIR}/${source} lines REGEX "^[ \t]*#[ \t]*include|errno")
  foreach(line IN LISTS lines)
    if(line MATCHES "#[ \t]*include[ \t]*\"([^/\"]+)/([^\"]*)\"")
      set(included "${CMAKE_MATCH_1}")
      set(rest "${CMAKE_MATCH_2}")
      list(FIND layers "${included}" included_layer)
      if(included_layer GREATER own_layer)
        list(APPEND faults "${source}: includes ${included}/${rest}, a layer above its own")
      endif()
      if(rest MATCHES "^(posix|windows)/" AND NOT system_layer STREQUAL CMAKE_MATCH_1)
        list(APPEND faults "${source}: includes ${included}/${rest} of a system layer not its own")
      endif()
    elseif(line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
      set(header "${CMAKE_MATCH_1}")
      if(NOT system_layer AND (header IN_LIST system_headers OR header MATCHES "^(sys|linux|win)/"))
        list(APPEND faults "${source}: includes the system header <${header}> outside a system layer")
      endif()
    elseif(NOT system_layer AND line MATCHES "(^|[^_a-z])errno([^_a-z]|$)" AND NOT line MATCHES "^[ \t]*//")
      list(APPEND faults "${source}: speaks of errno outside a system layer: ${line}")
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "Includes against the layers:\n  ${text}")
endif()
list(LENGTH sources count)
message(STATUS "${count} files keep to the layers")
