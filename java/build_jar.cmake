# cmake -P script: protoc --java_out for every schema file, javac, jar.
# protoc names the Java files after the schema files and their options, so
# the sources are collected after generation rather than listed.
#   PROTOC SCHEMA_DIR SCHEMAS JAVAC JAR CLASSPATH WORK_DIR OUTPUT

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    list(GET ARGN 0 program)
    message(FATAL_ERROR "${program} failed (${result})")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/src ${WORK_DIR}/classes)
run(${PROTOC} --java_out=${WORK_DIR}/src -I ${SCHEMA_DIR} ${SCHEMAS})

file(GLOB_RECURSE sources ${WORK_DIR}/src/*.java)
list(SORT sources)
string(REPLACE ";" "\n" source_lines "${sources}")
file(WRITE ${WORK_DIR}/sources.txt "${source_lines}\n")
run(${JAVAC} --release 11 -nowarn -encoding UTF-8 -cp ${CLASSPATH}
    -d ${WORK_DIR}/classes @${WORK_DIR}/sources.txt)

# Class-Path lets `java -cp /usr/share/java/common-dto.jar` find protobuf.jar
# beside it, as Debian's jars do.
file(WRITE ${WORK_DIR}/manifest.txt
  "Class-Path: protobuf.jar\nAutomatic-Module-Name: com.quandel.larch.protobuf\n")
run(${JAR} --create --file ${OUTPUT}.tmp --manifest ${WORK_DIR}/manifest.txt
    -C ${WORK_DIR}/classes .)
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
