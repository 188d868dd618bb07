# Installs ovelin::core as a CMake package: the static library, the headers
# and ovelinConfig.cmake with its version file, so that another project finds
# it with find_package(ovelin).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ovelin_config_dir "${CMAKE_INSTALL_LIBDIR}/cmake/ovelin")
target_include_directories(ovelin_core PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS ovelin_core EXPORT ovelinTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/ovelin DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT ovelinTargets NAMESPACE ovelin:: DESTINATION ${ovelin_config_dir})

# The Eigen the core was compiled against, offered to consumers as a hint
# after their own CMAKE_PREFIX_PATH.
set(OVELIN_EIGEN_DIR "${Eigen3_DIR}")
configure_package_config_file(cmake/ovelinConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/ovelinConfig.cmake"
  INSTALL_DESTINATION ${ovelin_config_dir})
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/ovelinConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/ovelinConfig.cmake"
              "${CMAKE_CURRENT_BINARY_DIR}/ovelinConfigVersion.cmake"
        DESTINATION ${ovelin_config_dir})
