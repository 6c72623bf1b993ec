# The Debian package (cpack -G DEB in a build with VELMORA_SYSTEM_PACKAGE): one per OBS major
# version, since OBS keeps its module interface only within one. Its dependencies are the shared
# libraries' (dpkg-shlibdeps) and the OBS it was built for.
# Debian's OBS looks only in /usr, and a package must not fetch installers meant for Windows.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR NOT VELMORA_UPDATE_NOTICE_ONLY)
  message(FATAL_ERROR "A Debian package needs CMAKE_INSTALL_PREFIX=/usr and VELMORA_UPDATE_NOTICE_ONLY=ON")
endif()
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)" obs_version "${libobs_VERSION}")
set(obs_major ${CMAKE_MATCH_1})
math(EXPR obs_next_major "${obs_major} + 1")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora-obs-plugin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE "1+obs${obs_major}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELMORA_INSTALLER_PUBLISHER} <support@${VELMORA_SITE_HOST}>")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${VELMORA_SITE_ORIGIN})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "obs-studio (>= ${obs_version}), obs-studio (<< ${obs_next_major}~)")
# The update check's HTTPS needs them, as curl's does; without them it only finds nothing.
# xdg-open hands the dock's links to the system browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velmora dock, overlays and live statistics for OBS Studio")
# The synopsis is the summary; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Sends OBS Studio's stream to the Velmora ingest and manages it from a dock
inside OBS: the stream service switch and its way back, chat and countdown
overlays, sign-in, and live statistics. Built for OBS ${obs_major}.")

# What Debian asks of every package's documentation folder: the copyright and a compressed changelog.
set(changelog ${CMAKE_BINARY_DIR}/debian/changelog.Debian)
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC) # SOURCE_DATE_EPOCH when set
file(WRITE ${changelog} "velmora-obs-plugin (${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}) unstable; urgency=medium

  * Velmora for OBS ${PROJECT_VERSION} for OBS ${obs_major}.

 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${changelog_date}
")
add_custom_command(OUTPUT ${changelog}.gz
  COMMAND gzip -9nfk ${changelog}
  DEPENDS ${changelog})
add_custom_target(velmora_debian_changelog ALL DEPENDS ${changelog}.gz)
install(FILES ${changelog}.gz ${CMAKE_CURRENT_SOURCE_DIR}/data/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(CPack)
