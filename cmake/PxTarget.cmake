# Common settings for the project's own targets: strict warnings as errors and
# the sanitizer chosen by the preset. Third-party code never gets these.
function(px_target_settings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
      -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Werror)
    # GCC 12's optimiser reports std::string and std::optional members of
    # aggregates as maybe-uninitialized where they plainly are not (GCC bugs
    # 105562 and 107138), and a literal put before a temporary string as an
    # overlapping copy (-Wrestrict, GCC bug 105329); at -O0 the checks see
    # through and stay on.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE
        $<$<NOT:$<CONFIG:Debug>>:-Wno-maybe-uninitialized -Wno-restrict>)
    endif()
  endif()
  if(PX_SANITIZE STREQUAL "address")
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  elseif(PX_SANITIZE STREQUAL "thread")
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  elseif(PX_SANITIZE STREQUAL "fuzzer")
    # clang only: libFuzzer's coverage in every library, with ASan and UBSan;
    # the fuzz targets add libFuzzer's driver when they link (fuzz/).
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link,address,undefined
                                             -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# Headers are included by their folder ("device/channel.h"). Each library
# exports a root of its own in which only its own folder is seen, so a
# library finds the headers of what it links and nothing else: a core
# library that reaches for the simulator, the window or the tool fails to
# build instead of quietly growing a dependency.
# px_include_root(target folder): folder relative to the project.
function(px_include_root target folder)
  get_filename_component(name ${folder} NAME)
  set(root ${CMAKE_BINARY_DIR}/include-roots/${name})
  if(NOT EXISTS ${root}/${name})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${name} RESULT linked SYMBOLIC)
    if(NOT linked STREQUAL "0")
      # Where no link can be made, the folder's parent serves, less strictly.
      get_filename_component(parent ${PROJECT_SOURCE_DIR}/${folder} DIRECTORY)
      set(root ${parent})
    endif()
  endif()
  target_include_directories(${target} PUBLIC ${root})
endfunction()

# A static library of one folder:
# px_library(name FOLDER src/device SOURCES ... DEPENDS ...)
function(px_library name)
  cmake_parse_arguments(ARG "" "FOLDER" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  px_include_root(${name} ${ARG_FOLDER})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  px_target_settings(${name})
endfunction()

# px_install_man_page(page [ALIASES name ...]): installs the page `page` (a
# file beside the calling CMakeLists.txt, its section its extension: pxraid.1,
# pxraidd.8), compressed on Linux as Debian wants it; each alias is a link to
# it, for a program the page also describes.
function(px_install_man_page page)
  cmake_parse_arguments(ARG "" "" "ALIASES" ${ARGN})
  include(GNUInstallDirs)
  get_filename_component(extension ${page} LAST_EXT)
  string(SUBSTRING ${extension} 1 -1 section)
  set(destination ${CMAKE_INSTALL_MANDIR}/man${section})
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    install(FILES ${page} DESTINATION ${destination})
    return()
  endif()
  get_filename_component(stem ${page} NAME_WE)
  add_custom_command(OUTPUT ${page}.gz
                     COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/${page} > ${page}.gz
                     DEPENDS ${page})
  add_custom_target(${stem}_man ALL DEPENDS ${page}.gz)
  set(files ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
  foreach(alias IN LISTS ARG_ALIASES)
    file(CREATE_LINK ${page}.gz ${CMAKE_CURRENT_BINARY_DIR}/${alias}.${section}.gz SYMBOLIC)
    list(APPEND files ${CMAKE_CURRENT_BINARY_DIR}/${alias}.${section}.gz)
  endforeach()
  install(FILES ${files} DESTINATION ${destination})
endfunction()

# px_install_systemd_unit(contrib/systemd/NAME.service.in)
# Installs the unit NAME.service, configured at install time, when the prefix
# is known (cmake --install --prefix, and CPack's /usr): @PX_PXRAID@ and
# @PX_PXRAIDD@ name the programs where this install puts them, and
# @PX_DEFAULTS_FILE@ the file of the services' options, which goes to /etc
# under /usr, as everywhere on Debian, and to PREFIX/etc otherwise; DEFAULTS
# installs that file there.
function(px_install_systemd_unit template)
  cmake_parse_arguments(ARG "" "DEFAULTS" "" ${ARGN})
  include(GNUInstallDirs)
  get_filename_component(unit ${template} NAME_WLE)
  set(defaults "")
  if(ARG_DEFAULTS)
    set(defaults "
    configure_file(${PROJECT_SOURCE_DIR}/${ARG_DEFAULTS} \"\$ENV{DESTDIR}\${PX_DEFAULTS_FILE}\" COPYONLY)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${PX_DEFAULTS_FILE}\")")
  endif()
  install(CODE "
    set(PX_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    if(PX_PREFIX STREQUAL \"/usr\")
      set(PX_ETC /etc)
    else()
      set(PX_ETC \"\${PX_PREFIX}/etc\")
    endif()
    set(PX_PXRAID \"\${PX_PREFIX}/${CMAKE_INSTALL_BINDIR}/pxraid\")
    set(PX_PXRAIDD \"\${PX_PREFIX}/${CMAKE_INSTALL_SBINDIR}/pxraidd\")
    set(PX_DEFAULTS_FILE \"\${PX_ETC}/default/pxraid-monitor\")
    set(PX_UNIT \"\$ENV{DESTDIR}\${PX_PREFIX}/lib/systemd/system/${unit}\")
    configure_file(${PROJECT_SOURCE_DIR}/${template} \"\${PX_UNIT}\" @ONLY)
    message(STATUS \"Installing: \${PX_UNIT}\")${defaults}")
endfunction()

# px_install_etc_file(SOURCE DESTINATION)
# Installs SOURCE as the configuration file DESTINATION (relative: "pxraid/
# pxraidd.conf") under /etc for a /usr prefix, as everywhere on Debian, and
# under PREFIX/etc otherwise.
function(px_install_etc_file source destination)
  install(CODE "
    if(\"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
      set(PX_ETC /etc)
    else()
      set(PX_ETC \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/${source} \"\$ENV{DESTDIR}\${PX_ETC}/${destination}\" COPYONLY)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${PX_ETC}/${destination}\")")
endfunction()
