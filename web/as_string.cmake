# cmake -DIN=script.js -DOUT=wrapped.js -P as_string.cmake: OUT sets
# CORVANE_WORKER_SOURCE to the text of IN, as a JavaScript string.
file(READ "${IN}" text)
string(REPLACE "\\" "\\\\" text "${text}")
string(REPLACE "\"" "\\\"" text "${text}")
string(REPLACE "\r" "\\r" text "${text}")
string(REPLACE "\n" "\\n" text "${text}")
file(WRITE "${OUT}" "// The worker's script (corvane.js), started by the page from this text.\nvar CORVANE_WORKER_SOURCE = \"${text}\";\n")
