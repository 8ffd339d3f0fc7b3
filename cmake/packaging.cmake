# The install and the Debian package.

set(LISTENER_MAINTAINER "listener developers <listener@example.org>"
    CACHE STRING "The Debian package's maintainer, as: name <address>")

# The documents, as Debian ships them: the manual page and the changelog
# compressed, and LICENSE in the machine-readable copyright format.
# The manual page names its version itself, so that it reads right in the
# source tree too: it must be project()'s.
file(STRINGS src/listener.1 title REGEX "^\\.TH ")
if(NOT title MATCHES "\"listener ${PROJECT_VERSION}\"")
  message(FATAL_ERROR "src/listener.1 is not of version ${PROJECT_VERSION}: ${title}")
endif()
configure_file(src/listener.1 listener.1 COPYONLY)
add_custom_command(OUTPUT listener.1.gz changelog.gz
  COMMAND gzip -9nkf listener.1
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/changelog changelog
  COMMAND gzip -9nf changelog
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/listener.1 changelog)
add_custom_target(documents ALL DEPENDS listener.1.gz changelog.gz)
file(READ LICENSE license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
string(REGEX MATCH "^Copyright \\(c\\) ([^\n]*)\n\n(.*[^\n])\n*$" license "${license}")
set(copyright_holders "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" license "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " license "${license}")
file(CONFIGURE OUTPUT copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: listener

Files: *
Copyright: ${copyright_holders}
License: ISC
 ${license}
")

# Directories as Debian ships them, whatever the umask of whoever installs or
# packages: an ordinary user's lets the group write on Debian 13, and 077
# would let no one else in.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
list(JOIN CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS " " directory_permissions)
# CPack makes the package's top directories itself, with the packager's
# umask: they are given the same before the package is built.
file(CONFIGURE OUTPUT cpack-directories.cmake CONTENT [[
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(entry IN LISTS entries)
  if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
    file(CHMOD "${entry}" DIRECTORY_PERMISSIONS @directory_permissions@)
  endif()
endforeach()
]] @ONLY)
install(TARGETS listener RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/listener.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_CONTACT "${LISTENER_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION
  "listener opens one capture device (a network device, netfilter's log or
queue, D-Bus, USB or Bluetooth) for live capture through libpcap and
writes the running number of every packet it captures to standard output,
as a decimal number followed by a comma and a blank, all on one line: after
three packets the output reads \"1, 2, 3, \". It never looks inside a
packet. It stops on SIGINT, SIGTERM or SIGHUP after writing out every
number counted.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Reproducible: the package's files and members carry the time of the latest
# changelog entry, not the time of packaging, unless whoever packages sets
# SOURCE_DATE_EPOCH.
file(STRINGS changelog signatures REGEX "^ -- ")
list(GET signatures 0 latest)
string(REGEX REPLACE "^ -- .*>  " "" latest "${latest}")
execute_process(COMMAND date -u -d "${latest}" +%s OUTPUT_VARIABLE source_date_epoch
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS changelog)
file(CONFIGURE OUTPUT cpack-project.cmake CONTENT "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${source_date_epoch})
endif()
")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack-project.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/cpack-directories.cmake)
include(CPack)
