# Windows: the programs with Qt's and MinGW's DLLs and Qt's plugins in the
# layout windeployqt makes (the DLLs beside the programs, each plugin in a
# folder of its kind beside them), and an NSIS installer and a zip of that.
# Components: "tool", linecard-updater and all it needs; "demo", the program
# in front of the emulated controller, optional.

install(FILES $<TARGET_FILE:Qt5::Core> $<TARGET_FILE:Qt5::Gui> $<TARGET_FILE:Qt5::Widgets>
              ${LINECARD_MINGW_RUNTIME}
        DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
install(FILES $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin>
        DESTINATION ${CMAKE_INSTALL_BINDIR}/platforms COMPONENT tool)
install(FILES $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin>
        DESTINATION ${CMAKE_INSTALL_BINDIR}/styles COMPONENT tool)
# The demonstration's automatic run has no window to show.
install(FILES $<TARGET_FILE:Qt5::QOffscreenIntegrationPlugin>
        DESTINATION ${CMAKE_INSTALL_BINDIR}/platforms COMPONENT demo)

# Qt is used under the LGPL version 3, which builds on the GPL version 3.
foreach(licence LGPL-3 GPL-3)
    if(EXISTS /usr/share/common-licenses/${licence})
        install(FILES /usr/share/common-licenses/${licence} DESTINATION licenses
                RENAME Qt-${licence}.txt COMPONENT tool)
    endif()
endforeach()
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT tool)
    set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
endif()

set(CPACK_GENERATOR NSIS ZIP)
unset(CPACK_PACKAGING_INSTALL_PREFIX)
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Line Card Update Tool")
set(CPACK_NSIS_PACKAGE_NAME "Line Card Update Tool")
set(CPACK_NSIS_DISPLAY_NAME "Line Card Update Tool")
# A 64-bit installer into the 64-bit program folder: Debian's makensis
# otherwise makes a 32-bit one, which a 64-bit-only Wine cannot run. CPack
# writes CPACK_NSIS_DEFINES itself, so the "Target" line rides on the line
# that names the compressor, at the top of the installer's script.
set(CPACK_NSIS_COMPRESSOR "lzma\n  Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The Start-menu entry, and the program's icon in the list of installed programs.
set(CPACK_PACKAGE_EXECUTABLES linecard-updater "Line Card Update Tool")
set(CPACK_NSIS_INSTALLED_ICON_NAME ${CMAKE_INSTALL_BINDIR}/linecard-updater.exe)

set(CPACK_COMPONENTS_ALL tool demo)
set(CPACK_COMPONENT_TOOL_DISPLAY_NAME "Line Card Update Tool")
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "Installs firmware into LQ770 line cards through a VX420 controller")
set(CPACK_COMPONENT_TOOL_REQUIRED ON)
set(CPACK_COMPONENT_DEMO_DISPLAY_NAME "Demonstration (emulated controller)")
set(CPACK_COMPONENT_DEMO_DESCRIPTION
    "linecard-updater-emulated: the tool in front of an emulated VX420 with emulated line cards")
set(CPACK_COMPONENT_DEMO_DEPENDS tool)

# Builds the installer and the zip, checks the zip's files, and installs,
# starts and uninstalls the tool silently under Wine.
if(BUILD_TESTING AND CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME installer_under_wine
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_installer.sh
                     ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR}/CPackConfig.cmake
                     ${CMAKE_CURRENT_BINARY_DIR}/installer-check ${CMAKE_CROSSCOMPILING_EMULATOR})
    set_tests_properties(installer_under_wine PROPERTIES LABELS package)
endif()
