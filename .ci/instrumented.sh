# Sourced by the CI scripts that run the suite on an instrumented build of
# the module (sanitizers, the debug interpreter). Their purpose is the
# module's own memory and references; these test files reach the module
# only the way the others already do (the tool's commands and the
# documentation's blocks in child interpreters, on the same public
# methods) or not at all (the sources' declarations, packaging), and they
# are most of the suite's time under instrumentation. tools/test-all runs
# them on every interpreter.
export QZR_KOV_LEAVE_OUT="test_tool test_tool_machine test_tool_log test_tool_record
    test_tool_plot test_tool_scripts test_doc_snippets test_declarations test_packaging
    test_panel*"
echo "left out of this instrumented run:" $QZR_KOV_LEAVE_OUT
