# The installed layout, as Debian lays out a desktop program: the program, its capture helper and
# the alert sound together in lib/zul (the program looks for the sound beside its real executable,
# which /proc/self/exe gives through any symlink), bin/zul a symlink onto it, and the desktop
# entry, icon and AppStream metadata under share. The Debian package is made from the same rules.

set(ZUL_APP_ID org.zul.Monitor)
set(ZUL_PKG_DIR lib/zul)
set(ZUL_CAPTURE_GROUP "" CACHE STRING
    "Group alone allowed to run the capture helper (empty: every user)")
set(ZUL_CAPTURE_CAPS cap_net_raw,cap_net_admin,cap_bpf,cap_perfmon+eip)

install(TARGETS zul RUNTIME DESTINATION ${ZUL_PKG_DIR})
install(FILES ${ZUL_ALERT_WAV} DESTINATION ${ZUL_PKG_DIR})

# Relative, so that it holds under any prefix and inside a staging folder.
set(zul_link_dir ${PROJECT_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${zul_link_dir})
file(CREATE_LINK ../${ZUL_PKG_DIR}/zul ${zul_link_dir}/zul SYMBOLIC)
install(FILES ${zul_link_dir}/zul DESTINATION bin)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/${ZUL_APP_ID}.desktop DESTINATION share/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/${ZUL_APP_ID}.svg
        DESTINATION share/icons/hicolor/scalable/apps)

# The project's addresses and licence, for the metadata and the package's copyright file.
set(ZUL_PROJECT_URL "https://zul.example.org" CACHE STRING "The project's home page")
set(ZUL_BUGS_URL "${ZUL_PROJECT_URL}/issues" CACHE STRING "Where bugs are reported")
set(ZUL_SCREENSHOT_URL "${ZUL_PROJECT_URL}/screenshots" CACHE STRING
    "Folder on the web holding the screenshots of docs/ under their names there")
set(ZUL_LICENSE GPL-3.0-or-later)
set(CPACK_PACKAGE_CONTACT "ZUL developers <zul@example.org>")
set(zul_pkg_build ${PROJECT_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/${ZUL_APP_ID}.metainfo.xml.in
               ${zul_pkg_build}/${ZUL_APP_ID}.metainfo.xml @ONLY)
install(FILES ${zul_pkg_build}/${ZUL_APP_ID}.metainfo.xml DESTINATION share/metainfo)

# Debian's documents: the copyright file, the changelog and the manual pages, the last two
# compressed as Debian wants them (gzip -9, no name or time inside). The man pages and the
# completion serve an install without the package as well.
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${zul_pkg_build}/copyright @ONLY)
set(zul_gz_files)
foreach(src changelog zul.1 zul-capture.1)
  set(gz ${zul_pkg_build}/${src}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" gzip ${PROJECT_SOURCE_DIR}/packaging/${src} ${gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/${src} VERBATIM)
  list(APPEND zul_gz_files ${gz})
endforeach()
add_custom_target(zul_docs ALL DEPENDS ${zul_gz_files})
install(FILES ${zul_pkg_build}/copyright ${zul_pkg_build}/changelog.gz DESTINATION share/doc/zul)
install(FILES ${zul_pkg_build}/zul.1.gz ${zul_pkg_build}/zul-capture.1.gz DESTINATION share/man/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zul.bash-completion
        DESTINATION share/bash-completion/completions RENAME zul)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zul.lintian-overrides
        DESTINATION share/lintian/overrides RENAME zul)

# The user guide that "&Help" opens, its screenshots one folder up, and the licence where the
# project has one: share/doc/zul when installed, doc/ beside the program in the build tree.
set(ZUL_DOC_DIR share/doc/zul)
file(GLOB zul_doc_files RELATIVE ${PROJECT_SOURCE_DIR}/docs ${PROJECT_SOURCE_DIR}/docs/*.png)
list(APPEND zul_doc_files guide/user.html)
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/src/doc/LICENSE COPYONLY)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${ZUL_DOC_DIR})
endif()
foreach(f ${zul_doc_files})
  configure_file(${PROJECT_SOURCE_DIR}/docs/${f} ${PROJECT_BINARY_DIR}/src/doc/${f} COPYONLY)
  get_filename_component(dir ${f} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/${f} DESTINATION ${ZUL_DOC_DIR}/${dir})
endforeach()

# Only the helper ever gets the capture capabilities. An install as root straight into the system
# gives them (and the group); one into a DESTDIR cannot, since archives do not keep them, and
# leaves them to the package's postinst.
if(TARGET zul-capture)
  set(zul_capture_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
  if(ZUL_CAPTURE_GROUP STREQUAL "")
    list(APPEND zul_capture_mode WORLD_READ WORLD_EXECUTE)
    set(zul_capture_owner root:root)
  else()
    set(zul_capture_owner root:${ZUL_CAPTURE_GROUP})
  endif()
  install(TARGETS zul-capture RUNTIME DESTINATION ${ZUL_PKG_DIR} PERMISSIONS ${zul_capture_mode})
  install(CODE "
    set(helper \"\${CMAKE_INSTALL_PREFIX}/${ZUL_PKG_DIR}/zul-capture\")
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT \"\$ENV{DESTDIR}\" STREQUAL \"\")
      message(STATUS \"Capabilities of \${helper}: left to the package's postinst\")
    elseif(NOT uid STREQUAL \"0\")
      message(WARNING \"Not root: \${helper} has no capabilities; run as root: \"
                      \"chown ${zul_capture_owner} \${helper} && setcap ${ZUL_CAPTURE_CAPS} \${helper}\")
    else()
      # A change of owner clears the capabilities, so it comes first.
      execute_process(COMMAND chown ${zul_capture_owner} \${helper} RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR \"Cannot give \${helper} to ${zul_capture_owner}\")
      endif()
      find_program(setcap setcap PATHS /usr/sbin /sbin)
      execute_process(COMMAND \${setcap} ${ZUL_CAPTURE_CAPS} \${helper} RESULT_VARIABLE rc)
      if(rc EQUAL 0)
        message(STATUS \"Capabilities of \${helper}: ${ZUL_CAPTURE_CAPS}\")
      else()
        message(WARNING \"setcap failed on \${helper}; the program will not capture\")
      endif()
    endif()")
endif()

# The Debian package: cpack -G DEB in the build folder.
set(zul_script_mode FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst.in ${zul_pkg_build}/postinst @ONLY
               ${zul_script_mode})
# Copied so that the package's scripts have their mode whatever the checkout gave the file.
file(COPY ${PROJECT_SOURCE_DIR}/packaging/postrm DESTINATION ${zul_pkg_build} ${zul_script_mode})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zul)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network bandwidth monitor")
# Lines of the control file's description stay under 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "ZUL watches every network adapter at the packet level and shows, second by"
       "second, how much this computer downloads and uploads, in small graph windows"
       "and a tray meter, and keeps hourly to yearly totals.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${ZUL_PROJECT_URL})
# libcap2-bin for the postinst's setcap; the GStreamer plugins play the alert sound (wavparse is in
# the good set) through Qt Multimedia, which loads them at run time, out of dpkg-shlibdeps' sight;
# a font with the CJK glyphs of the message dialog's "确定" button, which would otherwise show
# empty boxes where no such font is installed.
set(zul_depends libcap2-bin gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    "fonts-wqy-microhei | fonts-noto-cjk")
if(NOT ZUL_CAPTURE_GROUP STREQUAL "")
  list(APPEND zul_depends passwd)
endif()
find_program(ZUL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZUL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  list(APPEND zul_depends libqt6widgets6 libqt6network6 libqt6multimedia6 libpcap0.8
       libsqlite3-0 libbpf1)
endif()
list(JOIN zul_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${zul_pkg_build}/postinst ${zul_pkg_build}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
