# Fails when a source file takes an error text from std::strerror: its
# buffer may be shared between threads, and the component's threads report
# errors while the window's thread does. SysErrorText() is the one source.
#   cmake -DROOT=<source folder> "-DFOLDERS=a;b" "-DEXCEPT=file;..." -P error_texts_check.cmake
cmake_minimum_required(VERSION 3.20)
set(found "")
foreach(folder ${FOLDERS})
  file(GLOB_RECURSE files ${ROOT}/${folder}/*.cpp ${ROOT}/${folder}/*.h)
  foreach(f ${files})
    file(RELATIVE_PATH rel ${ROOT} ${f})
    if(rel IN_LIST EXCEPT)
      continue()
    endif()
    file(STRINGS ${f} lines REGEX "(^|[^_A-Za-z0-9])strerror[ \t]*\\(")
    if(lines)
      string(APPEND found "  ${rel}\n")
    endif()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "error texts from strerror; use SysErrorText():\n${found}")
endif()
