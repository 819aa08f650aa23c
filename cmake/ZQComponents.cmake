# A component is one subsystem folder built as a static, position-independent library with hidden
# visibility. Components marked KIT are linked whole into libZQLiveKit.so; tests link components
# directly and reach internals through the source root that the test support libraries add. A
# component passes on only the public include/ folder: the source tree stays its own business.
#
#   zq_add_component(zq_transport KIT SOURCES a.cpp b.cpp LINKS zq_session PkgConfig::RTMP)
function(zq_add_component name)
  cmake_parse_arguments(ARG "KIT" "" "SOURCES;LINKS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  add_library(ZQ::${name} ALIAS ${name})
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/include PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LINKS} PRIVATE zq_options)
  if(ARG_KIT)
    set_property(GLOBAL APPEND PROPERTY ZQLIVEKIT_COMPONENTS ${name})
  endif()
endfunction()
