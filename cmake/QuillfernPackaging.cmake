# `cpack -G DEB` from a build tree makes quillfern_<version>_<arch>.deb of everything the
# install rules lay out. Included last, so every install rule of the tree is known.
#
# An optional part (the counting service and its unit, say) joins the package by installing
# under a COMPONENT of its own without EXCLUDE_FROM_ALL: the package is one archive of every
# component, so nothing has to be listed here. A unit is installed, never enabled or started:
# the package has no maintainer scripts, and removing it leaves every user's history and
# settings (all under their home directory) where they are.
if(APPLE)
  return()
endif()

set(CPACK_PACKAGE_NAME quillfern)
set(CPACK_PACKAGE_VENDOR Quillfern)
set(CPACK_PACKAGE_CONTACT "Quillfern developers <quillfern@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "A small floating card with the machine's upload and download rates, a per-day traffic\n"
    "recorder with per-application bytes, and a history window with a monthly allowance.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quillfern.invalid/")
# The libraries the binaries link are read from them by dpkg-shlibdeps, not listed by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads the platform plugins itself; without them the program cannot open a window. The SVG
# icon engine draws the applications' theme icons in the history, most of which are SVG.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins, libqt6svg6")

include(CPack)
