# Debian packages of the installed tree, made by CPack in the build tree:
#
#   cd build && cpack -G DEB     # -> build/packages/*.deb
#
# Every install() rule names one component, and each component is one
# package:
#
#   component     package              what
#   runtime       libcommon-dto5       the shared libraries (lib*.so.5*)
#   development   libcommon-dto-dev    headers, lib*.so links, CMake package,
#                                      pkg-config file, .proto files,
#                                      descriptor set
#   tools         common-dto-tools     bin/common-dto
#   python        python3-common-dto   the common_dto Python package
#   java          libcommon-dto-java   the jar and its Maven POM
#
# A new library joins by being made with common_dto_add_library()
# (cmake/library.cmake), which installs it into runtime and its headers and
# link into development. Any other install() rule names its component.
#
# Nothing else changes here: the package dependencies on the libraries it
# links (libprotobuf32, liblz4-1, ...) are computed by dpkg-shlibdeps. A rule
# without COMPONENT lands in "Unspecified", which no package holds: the
# configure step warns about it and tests/install/check_debs.sh fails.

get_cmake_property(common_dto_install_components COMPONENTS)
if("Unspecified" IN_LIST common_dto_install_components)
  message(WARNING "An install() rule names no COMPONENT; its files go into no "
    "Debian package. Name one of runtime, development, tools, python, java "
    "(see cmake/packaging.cmake).")
endif()

set(CPACK_PACKAGE_NAME common-dto)
set(CPACK_PACKAGE_VENDOR "common-dto developers")
set(CPACK_PACKAGE_CONTACT "common-dto developers <common-dto@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped binaries: the debug information of the generated code is most of
# the libraries' size.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
if(COMMON_DTO_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
if(COMMON_DTO_BUILD_JAVA)
  list(APPEND CPACK_COMPONENTS_ALL java)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Packages of components that depend on others (CPACK_COMPONENT_<C>_DEPENDS)
# depend on exactly this version of them.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# dpkg-shlibdeps looks for libcommon-dto.so.5 & co. (needed by the tool) in
# the runtime package being built, not in the installed system. That folder
# lies under the package directory, which `cpack -B DIR` chooses when cpack
# runs: cpack-options.cmake computes it then.
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack-options.cmake.in
  ${PROJECT_BINARY_DIR}/cpack-options.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-options.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libcommon-dto${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "${PROJECT_DESCRIPTION} - shared libraries
 The generated classes of the schema (libcommon-dto.so.5) and the
 hand-written libraries built on them: model, ray streams and radar
 file formats (ODIM_H5, CF/Radial).")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libcommon-dto-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
# The CMake package and common-dto.pc ask for protobuf only.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libprotobuf-dev (>= 3.21)")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "${PROJECT_DESCRIPTION} - development files
 Headers, the CMake package (find_package(common-dto)), the pkg-config
 file, the schema's .proto files and a self-contained descriptor set.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME common-dto-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "${PROJECT_DESCRIPTION} - command-line tool
 common-dto: dump, encode, summary, check, assemble and split files and
 ray streams; convert volumes to and from ODIM_H5 and CF/Radial.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-common-dto)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The extension common_dto._core links the runtime libraries (exactly this
# version of them) and is built for the interpreter of this system.
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(common_dto_python_range "python3")
if(COMMON_DTO_BUILD_PYTHON)
  execute_process(COMMAND ${Python3_EXECUTABLE} -c
    "import sys; print('python3 (>= %d.%d), python3 (<< %d.%d)' % (sys.version_info[:2] + (sys.version_info[0], sys.version_info[1] + 1)))"
    OUTPUT_VARIABLE common_dto_python_range OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "${common_dto_python_range}, python3-protobuf (>= 3.21), python3-numpy")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "python3-xarray")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-matplotlib")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "${PROJECT_DESCRIPTION} - Python 3 package
 The message classes of the schema, ray stream reading, writing, assembly
 and splitting, DataBuffers as numpy arrays and sweeps as xarray Datasets.")

set(CPACK_DEBIAN_JAVA_PACKAGE_NAME libcommon-dto-java)
set(CPACK_DEBIAN_JAVA_PACKAGE_SECTION java)
set(CPACK_DEBIAN_JAVA_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_JAVA_PACKAGE_DEPENDS "libprotobuf-java (>= 3.21)")
set(CPACK_COMPONENT_JAVA_DESCRIPTION
  "${PROJECT_DESCRIPTION} - Java classes
 The schema's classes generated by protoc for Java, in
 /usr/share/java/common-dto.jar, with a Maven POM.")

include(CPack)
