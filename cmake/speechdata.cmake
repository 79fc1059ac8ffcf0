# Test speech: a few sentences synthesised with espeak-ng and resampled by sox
# to 48000 Hz, 2 channels, signed 16-bit little-endian raw PCM, produced at
# build time as ${CMAKE_BINARY_DIR}/testdata/speech48k.raw (target speechdata).
# Included by the voice tests and the voice benchmarks; defines the rule once.
set(CLASSROOM_SPEECH_DIR ${CMAKE_BINARY_DIR}/testdata)
set(CLASSROOM_SPEECH_RAW ${CLASSROOM_SPEECH_DIR}/speech48k.raw)
if(TARGET speechdata)
    return()
endif()

find_program(ESPEAK_NG espeak-ng)
find_program(SOX sox)
if(NOT ESPEAK_NG OR NOT SOX)
    message(FATAL_ERROR "espeak-ng and sox are needed for the test speech (tools/install-deps.sh)")
endif()

set(CLASSROOM_SPEECH_TEXT
    "Good morning class. Today we talk about how sound travels through a network. "
    "A microphone turns the voice into numbers, forty eight thousand of them every second, "
    "for each of two channels. The encoder squeezes twenty milliseconds at a time into a "
    "small packet, and the network carries the packets to every listener. Some packets arrive "
    "late, some never arrive at all, and the decoder has to hide those gaps so that nobody "
    "notices. Please open your books at page seven and read the first paragraph aloud.")
string(REPLACE ";" "" CLASSROOM_SPEECH_TEXT "${CLASSROOM_SPEECH_TEXT}")

add_custom_command(
    OUTPUT ${CLASSROOM_SPEECH_RAW}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CLASSROOM_SPEECH_DIR}
    COMMAND ${ESPEAK_NG} -v en -s 150 -w ${CLASSROOM_SPEECH_DIR}/speech.wav
            "${CLASSROOM_SPEECH_TEXT}"
    COMMAND ${SOX} ${CLASSROOM_SPEECH_DIR}/speech.wav -r 48000 -c 2 -b 16 -e signed-integer
            -L -t raw ${CLASSROOM_SPEECH_RAW}
    COMMENT "Synthesising the test speech"
    VERBATIM)
add_custom_target(speechdata ALL DEPENDS ${CLASSROOM_SPEECH_RAW})
