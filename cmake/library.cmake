# common_dto_add_library(<part> SOURCES <src>... [PUBLIC <dep>...] [PRIVATE <dep>...])
#
# One hand-written library of the project, laid out the same way for every
# part: libcommon-dto-<part>.so.5 (target common-dto-<part>, alias and
# exported name common-dto::<part>), headers in include/common_dto/<part>/
# of the calling folder, symbols hidden except those its export macro marks
# (COMMON_DTO_<PART>_BUILDING is defined while it is built), installed into
# the runtime (library) and development (headers, link, pkg-config file
# common-dto-<part>.pc) packages.
function(common_dto_add_library part)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;PUBLIC;PRIVATE")
  set(target common-dto-${part})
  string(TOUPPER "${part}" upper)
  add_library(${target} SHARED ${arg_SOURCES})
  add_library(common-dto::${part} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${part}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_compile_definitions(${target} PRIVATE COMMON_DTO_${upper}_BUILDING)
  target_compile_features(${target} PUBLIC cxx_std_17)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${target}
    PUBLIC ${arg_PUBLIC}
    PRIVATE ${arg_PRIVATE} common-dto-warnings)
  install(TARGETS ${target}
    EXPORT common-dto-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
      COMPONENT runtime NAMELINK_COMPONENT development)
  install(DIRECTORY include/common_dto/${part}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/common_dto
    COMPONENT development
    FILES_MATCHING PATTERN "*.h")
  _common_dto_library_pc(${part} ${arg_PUBLIC})
endfunction()

# common-dto-<part>.pc: requires the pkg-config modules of the project's
# libraries that <part> links publicly, as its CMake target does; the
# prefix is found relative to the file, as in common-dto.pc.
function(_common_dto_library_pc part)
  set(pc_requires "")
  foreach(dep IN LISTS ARGN)
    if(dep STREQUAL "common-dto::common-dto")
      list(APPEND pc_requires common-dto)
    elseif(dep MATCHES "^common-dto::(.+)$")
      list(APPEND pc_requires common-dto-${CMAKE_MATCH_1})
    endif()
  endforeach()
  list(JOIN pc_requires ", " pc_requires)
  file(RELATIVE_PATH pc_to_prefix
    ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  set(pc_file ${PROJECT_BINARY_DIR}/pkgconfig/common-dto-${part}.pc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/common-dto-library.pc.in ${pc_file} @ONLY)
  install(FILES ${pc_file}
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
endfunction()
