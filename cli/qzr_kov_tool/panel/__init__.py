"""The panel: ``qzr-kov --machine FILE panel`` serves a live view of the
machine to a browser, and its commands (stop, move, jog as hold-to-run,
home, teach) as an HTTP API, with the standard library's ``http.server``.

Safe by default: it listens on loopback, every request needs the token
made at start, the Host and Origin headers are checked, a jog stops when
its holder stops renewing it, and Ctrl-C stops every axis. docs/panel.md
tells the API, the security model and how the package is built; its page
is in ``static/`` (plain HTML, CSS and JavaScript, nothing fetched from
elsewhere).

Nothing here is imported before the arguments are read (cli imports
``serve`` when the command is ``panel``).
"""
