# A component is one subsystem folder built as a static, position-independent library with hidden
# visibility. Components marked KIT are linked whole into libZQLiveKit.so; tests link components
# directly so they can reach internals.
#
#   zq_add_component(zq_transport KIT SOURCES a.cpp b.cpp LINKS zq_session PkgConfig::RTMP)
function(zq_add_component name)
  cmake_parse_arguments(ARG "KIT" "" "SOURCES;LINKS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  add_library(ZQ::${name} ALIAS ${name})
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR})
  # A KIT component that links another one (transport needs session) must not hand it on to
  # libZQLiveKit.so, which already holds every KIT component whole: the same archive twice would
  # define its symbols twice. Every other consumer (tests, benchmarks) gets it as usual.
  get_property(kit_components GLOBAL PROPERTY ZQLIVEKIT_COMPONENTS)
  set(links)
  foreach(link ${ARG_LINKS})
    if(link IN_LIST kit_components)
      list(APPEND links "$<$<NOT:$<BOOL:$<TARGET_PROPERTY:ZQ_HOLDS_KIT_COMPONENTS>>>:${link}>")
      # Usage requirements still reach this component's own compilation.
      target_include_directories(${name} PRIVATE $<TARGET_PROPERTY:${link},INTERFACE_INCLUDE_DIRECTORIES>)
    else()
      list(APPEND links ${link})
    endif()
  endforeach()
  target_link_libraries(${name} PUBLIC ${links} PRIVATE zq_options)
  if(ARG_KIT)
    set_property(GLOBAL APPEND PROPERTY ZQLIVEKIT_COMPONENTS ${name})
  endif()
endfunction()
