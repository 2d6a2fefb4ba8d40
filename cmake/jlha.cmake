# jLHA (Debian jlha-utils) and a Java compiler, when both are present: the harness in
# bench/jlha is compiled into ${JLHA_CLASSES} by the target jlha_harness. Used by the codec
# benchmark and the cross-check of the encoder levels; both do without it.
find_program(JAVA_EXECUTABLE java)
find_program(JAVAC_EXECUTABLE javac)
find_file(JLHA_JAR jlha.jar PATHS /usr/share/java NO_DEFAULT_PATH)
set(JLHA_FOUND FALSE)
if(JAVA_EXECUTABLE AND JAVAC_EXECUTABLE AND JLHA_JAR)
  set(JLHA_FOUND TRUE)
  set(JLHA_CLASSES ${PROJECT_BINARY_DIR}/jlha)
  if(NOT TARGET jlha_harness)
    add_custom_command(OUTPUT ${JLHA_CLASSES}/JlhaDecode.class
      COMMAND ${CMAKE_COMMAND} -E make_directory ${JLHA_CLASSES}
      COMMAND ${JAVAC_EXECUTABLE} -cp ${JLHA_JAR} -d ${JLHA_CLASSES} ${PROJECT_SOURCE_DIR}/bench/jlha/JlhaDecode.java
      DEPENDS ${PROJECT_SOURCE_DIR}/bench/jlha/JlhaDecode.java
      COMMENT "Compiling the jLHA harness")
    add_custom_target(jlha_harness ALL DEPENDS ${JLHA_CLASSES}/JlhaDecode.class)
  endif()
endif()
