# The Debian package, made by CPack from the install rules (scripts/package.sh).
# The dependencies on shared libraries are found by dpkg-shlibdeps, not listed
# here; only what no library link shows (a Korean font) is recommended by hand.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME torvelin-recovery)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TORVELIN_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
# Debian wants the long description in lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION [=[When a camera loses power mid-recording it leaves an unfinished .RSV file
on the card. TORVELIN RECOVERY finds those files on the mounted cards,
copies one off the card (the card is only ever read), repairs the copy into
a playable MP4 with a healthy clip from the same camera as reference, and
verifies the result: the duration must be readable and frames must decode
at the start, the middle and the end. The user interface is in Korean.]=])
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Without a Korean font every text of the window shows as empty boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-nanum | fonts-noto-cjk")
include(CPack)
