# podium: the program's start-up (configuration, log, signal handling) as a
# static library that tests build too, and the executable itself.
add_library(podiumstartup STATIC
    ${CMAKE_CURRENT_LIST_DIR}/assistantconfig.cpp ${CMAKE_CURRENT_LIST_DIR}/assistantconfig.h
    ${CMAKE_CURRENT_LIST_DIR}/podiumsignals.cpp ${CMAKE_CURRENT_LIST_DIR}/podiumsignals.h
    ${CMAKE_CURRENT_LIST_DIR}/voiceprocessingline.cpp
    ${CMAKE_CURRENT_LIST_DIR}/voiceprocessingline.h)
# The voice-processing settings record is a header of voice/ (no code of it
# is linked here).
target_include_directories(podiumstartup PUBLIC ${CMAKE_CURRENT_LIST_DIR}
    ${PROJECT_SOURCE_DIR}/voice)
target_link_libraries(podiumstartup PUBLIC classroomserver wirelib Qt5::Core Qt5::Network
    PRIVATE project_options)

add_executable(podium ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(podium PRIVATE podiumstartup classroomserver wirelib codecwrap
    Qt5::Widgets project_options)
if(TARGET podiumwindow)
    target_link_libraries(podium PRIVATE podiumwindow)
    target_compile_definitions(podium PRIVATE PODIUM_WITH_WINDOW)
endif()
install(TARGETS podium RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
