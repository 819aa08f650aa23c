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

# Installed libraries find their siblings (the foundation) wherever the prefix ends up.
set_target_properties(ZQLiveKit PROPERTIES INSTALL_RPATH "$ORIGIN")
set(zq_installed ZQLiveKit ZQPlatformFoundation)
if(TARGET ZQSLivePushStoreModule)
  set_target_properties(ZQSLivePushStoreModule PROPERTIES INSTALL_RPATH "$ORIGIN")
  list(APPEND zq_installed ZQSLivePushStoreModule)
endif()
# The public headers need C++20 (std::span and friends); consumers get the standard with the targets.
foreach(library ${zq_installed})
  target_compile_features(${library} PUBLIC cxx_std_20)
endforeach()
install(TARGETS ${zq_installed} EXPORT ZQLiveKitTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The CMake package: find_package(ZQLiveKit 1) gives ZQ::ZQLiveKit, ZQ::ZQSLivePushStoreModule and
# ZQ::PlatformFoundation. Its config finds every package whose targets the exported ones name.
set(zq_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ZQLiveKit)
install(EXPORT ZQLiveKitTargets NAMESPACE ZQ:: DESTINATION ${zq_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ZQLiveKitConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/ZQLiveKitConfig.cmake INSTALL_DESTINATION ${zq_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ZQLiveKitConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/ZQLiveKitConfig.cmake ${CMAKE_BINARY_DIR}/ZQLiveKitConfigVersion.cmake
        DESTINATION ${zq_cmake_dir})

# pkg-config files, relocatable: the prefix is found from the file's own place, so an install with
# `cmake --install build --prefix P` works wherever P is.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(zq_pc_prefix "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH zq_pc_up /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" zq_pc_up "${zq_pc_up}")
  set(zq_pc_prefix "\${pcfiledir}/${zq_pc_up}")
endif()
set(zq_pc_files zqlivekit)
if(TARGET ZQSLivePushStoreModule)
  list(APPEND zq_pc_files zqslivepushstoremodule)
endif()
foreach(pc ${zq_pc_files})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
