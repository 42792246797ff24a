# common_dto_add_library(<part> SOURCES <src>... [PUBLIC <dep>...] [PRIVATE <dep>...])
#
# One hand-written library of the project, laid out the same way for every
# part: libcommon-dto-<part>.so.5 (target common-dto-<part>, alias and
# exported name common-dto::<part>), headers in include/common_dto/<part>/
# of the calling folder, symbols hidden except those its export macro marks
# (COMMON_DTO_<PART>_BUILDING is defined while it is built), installed into
# the runtime (library) and development (headers, link) packages.
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
endfunction()
