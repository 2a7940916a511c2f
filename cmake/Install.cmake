# What `cmake --install` (and so the Debian package) puts on a machine: the two programs
# people use, the suffix list, manual pages, bash completion, the systemd units and the
# package's documents. Nothing for developers: no test tools, libraries or headers.
include(GNUInstallDirs)

# The units, the tmpfiles entry and the package scripts know the service's state directory
# only as /var/lib/tolvane.
if(NOT TOLVANE_DEFAULT_DIRECTORY STREQUAL "/var/lib/tolvane")
  message(WARNING "The systemd units use /var/lib/tolvane, not TOLVANE_DEFAULT_DIRECTORY "
                  "(${TOLVANE_DEFAULT_DIRECTORY})")
endif()

set(TOLVANE_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd units go, under the install prefix unless absolute")
set(TOLVANE_TMPFILES_DIR "lib/tmpfiles.d" CACHE STRING
    "Where the tmpfiles.d entry goes, under the install prefix unless absolute")
set(TOLVANE_SYSTEMD_UNITS tolvane-filter.service tolvane-filter-rules.service)

# Packages want 0755 directories whatever the umask of whoever builds them.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

find_program(TOLVANE_GZIP gzip REQUIRED)
# Compresses `source` into `compressed` when the install runs, so that a page edited since the
# last build is installed as it is now; -n keeps the name and time out, for identical packages.
function(tolvane_install_compressed source compressed destination)
  get_filename_component(directory ${compressed} DIRECTORY)
  install(CODE "file(MAKE_DIRECTORY \"${directory}\")
                execute_process(COMMAND \"${TOLVANE_GZIP}\" -9nc \"${source}\"
                  OUTPUT_FILE \"${compressed}\" COMMAND_ERROR_IS_FATAL ANY)")
  install(FILES ${compressed} DESTINATION ${destination})
endfunction()

# Programs. Release builds are installed stripped (as `cmake --install --strip` would):
# the generated rules below strip when this is set.
install(CODE [[
  if(CMAKE_INSTALL_CONFIG_NAME MATCHES "^(Release|MinSizeRel)$")
    set(CMAKE_INSTALL_DO_STRIP TRUE)
  endif()
]])
install(TARGETS tolvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tolvane-filter RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# The suffix list, where programs in bin/ and sbin/ both look: ../share/tolvane/.
install(FILES ${TOLVANE_PSL_SOURCE}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tolvane/TolvaneCore_TolvaneCore.bundle
        RENAME public_suffix_list.dat)

# Every manual page in man/, by its section: name.1 to man1, name.8 to man8.
file(GLOB TOLVANE_MAN_PAGES LIST_DIRECTORIES false CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/man/*.[1-9])
foreach(page ${TOLVANE_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE "^.*\\.([1-9])$" "\\1" section ${name})
  tolvane_install_compressed(${page} ${PROJECT_BINARY_DIR}/install/man/${name}.gz
                             ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

# Every bash completion in completion/, each named after its program.
file(GLOB TOLVANE_COMPLETIONS LIST_DIRECTORIES false CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/completion/*)
install(FILES ${TOLVANE_COMPLETIONS}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The units name the filter by its installed path, which is known only when the install runs:
# a package is installed under another prefix than the build was configured with.
install(CODE "
  set(CMAKE_INSTALL_FULL_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  if(NOT IS_ABSOLUTE \"\${CMAKE_INSTALL_FULL_SBINDIR}\")
    set(CMAKE_INSTALL_FULL_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/\${CMAKE_INSTALL_FULL_SBINDIR}\")
  endif()
  foreach(unit ${TOLVANE_SYSTEMD_UNITS})
    configure_file(\"${PROJECT_SOURCE_DIR}/systemd/\${unit}.in\"
                   \"${PROJECT_BINARY_DIR}/install/systemd/\${unit}\" @ONLY)
  endforeach()
")
list(TRANSFORM TOLVANE_SYSTEMD_UNITS PREPEND ${PROJECT_BINARY_DIR}/install/systemd/
     OUTPUT_VARIABLE TOLVANE_CONFIGURED_UNITS)
install(FILES ${TOLVANE_CONFIGURED_UNITS} DESTINATION ${TOLVANE_SYSTEMD_UNIT_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/systemd/tolvane-filter.tmpfiles
        DESTINATION ${TOLVANE_TMPFILES_DIR} RENAME tolvane-filter.conf)

# The package's documents: its copyright and its changelog.
set(TOLVANE_PACKAGE_MAINTAINER "Tolvane developers <tolvane@example.org>" CACHE STRING
    "The Debian package's maintainer")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
               ${PROJECT_BINARY_DIR}/install/changelog @ONLY)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tolvane)
tolvane_install_compressed(${PROJECT_BINARY_DIR}/install/changelog
                           ${PROJECT_BINARY_DIR}/install/changelog.gz
                           ${CMAKE_INSTALL_DATADIR}/doc/tolvane)
