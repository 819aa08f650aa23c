# The shared libraries an application links: libZQLiveKit.so holds every KIT component; the store
# library (added by store/) links only the platform foundation.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_property(kit_components GLOBAL PROPERTY ZQLIVEKIT_COMPONENTS)
add_library(ZQLiveKit SHARED cmake/version.cpp)
add_library(ZQ::ZQLiveKit ALIAS ZQLiveKit)
set_target_properties(ZQLiveKit PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                                           CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(ZQLiveKit PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(ZQLiveKit PUBLIC ZQPlatformFoundation PRIVATE zq_options)
# The library is made of the components' object files (each exactly once, whatever links what),
# and links what the components link outside the kit.
set(kit_external_links)
foreach(component ${kit_components})
  target_sources(ZQLiveKit PRIVATE $<TARGET_OBJECTS:${component}>)
  get_target_property(component_links ${component} LINK_LIBRARIES)
  foreach(link ${component_links})
    if(NOT link IN_LIST kit_components AND NOT link STREQUAL "zq_options")
      list(APPEND kit_external_links ${link})
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES kit_external_links)
target_link_libraries(ZQLiveKit PRIVATE ${kit_external_links})
target_link_options(ZQLiveKit PRIVATE -Wl,--no-undefined)

set(zq_installed ZQLiveKit ZQPlatformFoundation)
if(TARGET ZQSLivePushStoreModule)
  list(APPEND zq_installed ZQSLivePushStoreModule)
endif()
install(TARGETS ${zq_installed} EXPORT ZQLiveKitTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT ZQLiveKitTargets NAMESPACE ZQ:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZQLiveKit)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ZQLiveKitConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
file(WRITE ${CMAKE_BINARY_DIR}/ZQLiveKitConfig.cmake
     "include(CMakeFindDependencyMacro)\nfind_dependency(nlohmann_json 3)\ninclude(\${CMAKE_CURRENT_LIST_DIR}/ZQLiveKitTargets.cmake)\n")
install(FILES ${CMAKE_BINARY_DIR}/ZQLiveKitConfig.cmake ${CMAKE_BINARY_DIR}/ZQLiveKitConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZQLiveKit)
