# podiumwindow: the chat window DMainWindow with its form, icons and helpers.
# program.cmake links it into podium; the window tests link it directly. It
# needs podium's build of the voice classes and is skipped without them.
if(NOT TARGET voicepipe_podium)
    message(STATUS "podiumwindow: no voicepipe_podium target; the window is not built")
    return()
endif()

add_library(podiumwindow STATIC
    dmainwindow.cpp dmainwindow.h dmainwindow.ui
    dfilebrowser.cpp dfilebrowser.h
    dtransferrules.cpp dtransferrules.h
    dfilesender.cpp dfilesender.h
    dfilereceiver.cpp dfilereceiver.h filetransferrecord.h
    filetransferwidget.cpp filetransferwidget.h
    daddresspublisher.cpp daddresspublisher.h
    dvoicerules.cpp dvoicerules.h
    dvoiceprocessingmenu.cpp dvoiceprocessingmenu.h
    podium.qrc)
target_include_directories(podiumwindow PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>)
target_link_libraries(podiumwindow
    PUBLIC voicepipe_podium wirelib codecwrap Qt5::Widgets Qt5::Multimedia Qt5::Network
    PRIVATE project_options)

# The desktop's file manager is asked over D-Bus to select a file when Qt's
# D-Bus module is there; otherwise the folder is opened.
find_package(Qt5 5.15 QUIET COMPONENTS DBus)
if(Qt5DBus_FOUND AND NOT WIN32)
    target_link_libraries(podiumwindow PRIVATE Qt5::DBus)
    target_compile_definitions(podiumwindow PRIVATE CLASSROOM_HAVE_DBUS)
endif()
