# Installs the engine as a library: the public headers under include/tolvane
# (included from there as from the source root, "physics/PhysicalUniverse.h"),
# the static libraries, the CMake package Tolvane with its Tolvane:: targets, the
# pkg-config file tolvane.pc and the model files under share/tolvane/data.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TOLVANE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/tolvane)
set(TOLVANE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tolvane)
set(TOLVANE_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/tolvane/data)

# Folders whose headers are all public.
set(tolvane_public_folders math model geometry physics/body physics/joint physics/query scene renderer app)
# Single public headers of folders whose other headers are internals: what the
# universe's header includes. The solver's folder is listed file by file, never
# globbed, so that a new internal header there stays private.
set(tolvane_public_headers
  physics/PhysicalUniverse.h
  physics/designed/CollisionReport.h
  physics/designed/PhysicalObjectCollisionSolver.h
  physics/solver/ContactSettings.h
  physics/solver/ContactStepStatistics.h)

foreach(folder IN LISTS tolvane_public_folders)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${folder}/ DESTINATION ${TOLVANE_INSTALL_INCLUDEDIR}/${folder}
    FILES_MATCHING PATTERN "*.h")
endforeach()
foreach(header IN LISTS tolvane_public_headers)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${TOLVANE_INSTALL_INCLUDEDIR}/${folder})
endforeach()

# The libraries, bottom up; each is Tolvane::<name> with <name> its folder's.
set(tolvane_installed_libraries
  tolvane_math tolvane_model tolvane_geometry tolvane_body tolvane_designed tolvane_joint tolvane_solver tolvane_query
  tolvane_physics tolvane_scene tolvane_app tolvane_renderer)
foreach(library IN LISTS tolvane_installed_libraries)
  string(REGEX REPLACE "^tolvane_" "" name ${library})
  set_target_properties(${library} PROPERTIES EXPORT_NAME ${name})
endforeach()

install(TARGETS ${tolvane_installed_libraries} EXPORT TolvaneTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${TOLVANE_INSTALL_INCLUDEDIR})
install(EXPORT TolvaneTargets NAMESPACE Tolvane:: DESTINATION ${TOLVANE_INSTALL_CMAKEDIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TolvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TolvaneConfig.cmake
  INSTALL_DESTINATION ${TOLVANE_INSTALL_CMAKEDIR}
  PATH_VARS TOLVANE_INSTALL_DATADIR)
# Before 1.0 a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TolvaneConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TolvaneConfig.cmake ${PROJECT_BINARY_DIR}/TolvaneConfigVersion.cmake
  DESTINATION ${TOLVANE_INSTALL_CMAKEDIR})

# The .pc file finds its prefix from its own place, so the tree can be
# installed with any --prefix and moved afterwards.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "tolvane.pc needs CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR relative to the prefix")
endif()
file(RELATIVE_PATH TOLVANE_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" TOLVANE_PC_TO_PREFIX ${TOLVANE_PC_TO_PREFIX})
configure_file(${PROJECT_SOURCE_DIR}/cmake/tolvane.pc.in ${PROJECT_BINARY_DIR}/tolvane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tolvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/ DESTINATION ${TOLVANE_INSTALL_DATADIR} FILES_MATCHING PATTERN "*.ac")
