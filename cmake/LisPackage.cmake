# The Debian package, from the same install rules: `./do package`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lis-result-entry)
set(CPACK_PACKAGE_VENDOR "Velquor")
set(CPACK_PACKAGE_CONTACT "Velquor laboratory systems <lis@velquor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Laboratory result entry component for hospital information systems")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The Qt libraries and the database drivers the component loads at run time
# (the drivers are plugins: no linker would find them).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6core6 (>= 6.2), libqt6gui6, libqt6widgets6, libqt6printsupport6, libqt6sql6, libqt6sql6-sqlite, libqt6sql6-psql, libqt6network6, libqt6serialport6, libc6")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
include(CPack)
