# Build step (cmake -P): writes the installed desktop entry from its template, with the Comment
# taken from the interface's own tagline ("about_tagline") in English and in every language of
# resources/i18n, so that the menu speaks the languages the window speaks.
# Variables: TEMPLATE, I18N_DIR, OUTPUT.

# The tagline of one .po file as a desktop entry value: the escapes \\, \n and \t mean the same
# in both formats, only a quote loses its backslash.
function(tagline po out)
    file(READ ${po} text)
    if(NOT text MATCHES "\nmsgid \"about_tagline\"\nmsgstr \"([^\n]+)\"\n")
        message(FATAL_ERROR "${po}: no about_tagline")
    endif()
    string(REPLACE "\\\"" "\"" value "${CMAKE_MATCH_1}")
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

tagline(${I18N_DIR}/en.po english)
set(comments "Comment=${english}\n")
file(STRINGS ${I18N_DIR}/languages.txt lines REGEX "^[A-Za-z_]+\t")
foreach(line ${lines})
    string(REGEX REPLACE "\t.*" "" code "${line}")
    if(NOT code STREQUAL "en")
        tagline(${I18N_DIR}/${code}.po translated)
        string(APPEND comments "Comment[${code}]=${translated}\n")
    endif()
endforeach()

# The template's own English Comment line is replaced by the block.
file(READ ${TEMPLATE} entry)
string(FIND "${entry}" "\nComment=" start)
if(start LESS 0)
    message(FATAL_ERROR "${TEMPLATE}: no Comment line")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${entry}" ${start} -1 rest)
string(FIND "${rest}" "\n" length)
math(EXPR after "${start} + ${length} + 1")
string(SUBSTRING "${entry}" 0 ${start} head)
string(SUBSTRING "${entry}" ${after} -1 tail)
set(entry "${head}${comments}${tail}")
file(WRITE ${OUTPUT}.tmp "${entry}")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
