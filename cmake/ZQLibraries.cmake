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
set_target_properties(ZQLiveKit PROPERTIES ZQ_HOLDS_KIT_COMPONENTS ON)
target_link_libraries(ZQLiveKit PUBLIC ZQPlatformFoundation PRIVATE zq_options)
if(kit_components)
  target_link_libraries(ZQLiveKit PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${kit_components}>")
endif()
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
