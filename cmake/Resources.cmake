# Builds the application's resources: every file under qml/ (except the
# translation sources and QML tests), the DejaVu Sans font taken from the system at
# build time, and the compiled translations. The .qrc is generated so that
# adding a page or an image needs no bookkeeping.

set(KVRT_FONT_SOURCE "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf" CACHE FILEPATH
    "DejaVu Sans font copied into the resources")
if(NOT EXISTS "${KVRT_FONT_SOURCE}")
    message(FATAL_ERROR "DejaVu Sans not found at ${KVRT_FONT_SOURCE} (install fonts-dejavu-core)")
endif()
set(KVRT_FONT_COPY "${CMAKE_CURRENT_BINARY_DIR}/fonts/DejaVuSans.ttf")
add_custom_command(OUTPUT "${KVRT_FONT_COPY}"
    COMMAND ${CMAKE_COMMAND} -E copy "${KVRT_FONT_SOURCE}" "${KVRT_FONT_COPY}"
    DEPENDS "${KVRT_FONT_SOURCE}"
    COMMENT "Copying DejaVu Sans into the resources")

file(GLOB KVRT_TS_FILES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/qml/translations/*.ts)
set_source_files_properties(${KVRT_TS_FILES} PROPERTIES OUTPUT_LOCATION
    "${CMAKE_CURRENT_BINARY_DIR}/translations")
qt5_add_translation(KVRT_QM_FILES ${KVRT_TS_FILES})

file(GLOB_RECURSE KVRT_QML_FILES CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
    ${CMAKE_CURRENT_SOURCE_DIR}/qml/*)
list(FILTER KVRT_QML_FILES EXCLUDE REGEX "\\.ts$")
list(FILTER KVRT_QML_FILES EXCLUDE REGEX "(^|/)\\.")

set(_qrc "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n<qresource prefix=\"/\">\n")
foreach(_f IN LISTS KVRT_QML_FILES)
    string(APPEND _qrc "  <file alias=\"${_f}\">${CMAKE_CURRENT_SOURCE_DIR}/${_f}</file>\n")
endforeach()
# Stored as it is, so that the program can register it in place, without a copy.
string(APPEND _qrc "  <file alias=\"qml/fonts/DejaVuSans.ttf\" compression-algorithm=\"none\">${KVRT_FONT_COPY}</file>\n")
foreach(_qm IN LISTS KVRT_QM_FILES)
    get_filename_component(_name "${_qm}" NAME)
    string(APPEND _qrc "  <file alias=\"qml/translations/${_name}\">${_qm}</file>\n")
endforeach()
string(APPEND _qrc "</qresource>\n</RCC>\n")
set(KVRT_QRC "${CMAKE_CURRENT_BINARY_DIR}/kvrt_resources.qrc")
file(CONFIGURE OUTPUT "${KVRT_QRC}" CONTENT "${_qrc}")

# The QML is compiled ahead of time (Qt Quick Compiler): the program loads the compiled
# units linked into it instead of parsing and compiling every file at start-up.
find_package(Qt5QuickCompiler REQUIRED)
qtquick_compiler_add_resources(KVRT_RCC_SOURCES "${KVRT_QRC}")
set_source_files_properties(${KVRT_RCC_SOURCES} PROPERTIES SKIP_AUTOGEN ON)
add_custom_target(KVRTResourceFiles DEPENDS "${KVRT_FONT_COPY}" ${KVRT_QM_FILES})

# An object library, so that the resources' static registration is linked into
# every program that uses them (the terminal and the GUI tests).
add_library(KVRTResources OBJECT ${KVRT_RCC_SOURCES})
add_dependencies(KVRTResources KVRTResourceFiles)
target_link_libraries(KVRTResources PUBLIC Qt5::Core Qt5::Qml)
set(KVRT_RESOURCES $<TARGET_OBJECTS:KVRTResources>)
