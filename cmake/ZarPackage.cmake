# Version, install rules and package files of libzarutil.so.
#
# In the build tree the headers are found by their plain names
# (util/include/ on the include path). An install puts them in one folder,
# <prefix>/include/zarutil/, and both the CMake package and zarutil.pc put
# that folder on the consumer's include path, so installed code includes
# "CmThread.h" exactly as the code of this tree does.
#
# A consumer either calls find_package(zarutil CONFIG) and links the imported
# target zarutil::zarutil (include folder and Threads come with it), or asks
# pkg-config for zarutil.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# CmVersion.h carries the project version; the library reports the same text
# through zar_util_version().
configure_file(${PROJECT_SOURCE_DIR}/cmake/CmVersion.h.in ${PROJECT_BINARY_DIR}/generated/CmVersion.h @ONLY)
target_include_directories(zarutil PUBLIC
  $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/zarutil>)
# libzarutil.so.MAJOR is the SONAME: releases of one major version keep the
# interface, so programs linked against an older one run with a newer one.
set_target_properties(zarutil PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

set(ZAR_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zarutil)
install(TARGETS zarutil EXPORT zarutilTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB ZAR_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/util/include/*.h)
install(FILES ${ZAR_PUBLIC_HEADERS} ${PROJECT_BINARY_DIR}/generated/CmVersion.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zarutil)
install(EXPORT zarutilTargets NAMESPACE zarutil:: DESTINATION ${ZAR_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zarutilConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zarutilConfig.cmake INSTALL_DESTINATION ${ZAR_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zarutilConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zarutilConfig.cmake ${PROJECT_BINARY_DIR}/zarutilConfigVersion.cmake
  DESTINATION ${ZAR_PACKAGE_DIR})

# zarutil.pc finds the prefix relative to its own folder (${pcfiledir}), so
# it stays right for `cmake --install --prefix <elsewhere>` and for a moved
# install tree.
file(RELATIVE_PATH ZAR_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZAR_PC_PREFIX "\${pcfiledir}/${ZAR_PC_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/zarutil.pc.in ${PROJECT_BINARY_DIR}/zarutil.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zarutil.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
