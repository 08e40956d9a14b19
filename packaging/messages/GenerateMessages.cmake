# Writes the message source of the event-message DLL: every ID from 0 to 65535 is the message
# "%1%0", which renders as the event's one insertion string and nothing else (%0 ends the message
# without the line break that each message of the source otherwise ends with). The service's
# event IDs are running counters, so the table must hold every ID an entry can carry.
# Usage: cmake -DOUTPUT=FILE.mc -P GenerateMessages.cmake
if(NOT OUTPUT)
    message(FATAL_ERROR "usage: cmake -DOUTPUT=FILE.mc -P GenerateMessages.cmake")
endif()

# An empty MessageId is the previous ID plus one. Only U.S. English: FormatMessage with the
# language 0, as Event Viewer calls it, falls back to U.S. English on every system language.
set(first "MessageId=0\nLanguage=English\n%1%0\n.\n")
set(next "MessageId=\nLanguage=English\n%1%0\n.\n")
string(REPEAT "${next}" 65535 rest)
file(WRITE ${OUTPUT} "LanguageNames=(English=0x409:MSG00409)\n${first}${rest}")
