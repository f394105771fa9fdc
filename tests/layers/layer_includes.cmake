cmake_minimum_required(VERSION 3.21)
# Fails when a file includes a folder its layer may not use.
#   cmake -DROOT=<tree> -P layer_includes.cmake
# The program's layers, lowest first, and what each may include besides itself; sim/ sees only
# the shared wire and platform interfaces, and the campaign's judge never the program's
# catalogue. Test, benchmark and fuzz code may use anything.
set(allowed_Pellmar "")
set(allowed_wire "")
set(allowed_platform "wire")
set(allowed_driver "Pellmar;platform;wire")
set(allowed_transport "Pellmar;driver;platform;wire")
set(allowed_protocol "Pellmar;driver;platform;transport;wire")
set(allowed_images "Pellmar;wire")
set(allowed_connect "Pellmar;driver;platform;protocol;transport;wire")
set(allowed_transfer "Pellmar;connect;driver;images;platform;protocol;transport;wire")
set(allowed_update "Pellmar;connect;driver;images;platform;protocol;transfer;transport;wire")
set(allowed_sim "platform;wire")
set(allowed_site "Pellmar;driver;platform;sim;transport;update;wire")
set(allowed_campaign "Pellmar;driver;platform;sim;site;support;transport;update;wire")
set(allowed_tools "Pellmar;images;wire")

# Includes that still run up a layer, each to be taken away, never added to: the run's session
# lives in driver/ and holds every layer's state; a unit record holds its chosen images.
set(known_upward
    "src/driver/session.h>protocol" "src/driver/session.h>transfer" "src/driver/session.h>transport"
    "src/protocol/unit.h>images")

if(NOT ROOT)
  message(FATAL_ERROR "give -DROOT=<tree>")
endif()
set(layers Pellmar wire platform driver transport protocol images connect transfer update)
set(problems "")
set(used_known "")
file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/src/*.h ${ROOT}/src/*.cpp ${ROOT}/sim/*.h ${ROOT}/sim/*.cpp
     ${ROOT}/campaign/*.h ${ROOT}/campaign/*.cpp ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp
     ${ROOT}/site/*.h ${ROOT}/site/*.cpp)
foreach(file ${files})
  string(REGEX MATCH "^[^/]+/[^/]+" head ${file})
  if(head MATCHES "^src/")
    string(REGEX REPLACE "^src/" "" layer ${head})
    if(NOT layer IN_LIST layers)
      continue()  # main.cpp: the top binds everything
    endif()
  else()
    string(REGEX MATCH "^[^/]+" layer ${file})
  endif()
  file(STRINGS ${ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"/]+)/.*" "\\1" target "${line}")
    if(target STREQUAL layer OR target IN_LIST allowed_${layer})
      continue()
    endif()
    if("${file}>${target}" IN_LIST known_upward)
      list(APPEND used_known "${file}>${target}")
      continue()
    endif()
    list(APPEND problems "${file} includes ${target}/ (${line})")
  endforeach()
endforeach()
foreach(known ${known_upward})
  if(NOT known IN_LIST used_known)
    list(APPEND problems "${known} no longer runs up a layer: take it off the known list")
  endif()
endforeach()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "includes against the layers:\n  ${text}")
endif()
message(STATUS "layers: every include of ${ROOT} keeps to its layer")
