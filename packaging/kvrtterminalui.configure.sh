if [ "$1" = "configure" ]; then
    # The service's own system user, in the groups of the display (DRM, framebuffer) and of
    # the touch screen, those of them the system has.
    adduser --system --group --home /nonexistent --no-create-home --quiet @KVRT_SERVICE_USER@
    for group in video render input; do
        if getent group "$group" >/dev/null; then
            adduser --quiet @KVRT_SERVICE_USER@ "$group"
        fi
    done
    # Stopped while its files move; started again below.
    if [ -d /run/systemd/system ]; then
        deb-systemd-invoke stop '@KVRT_UNIT@' >/dev/null || true
    fi
    # The event log beside the program and the device id in /etc are links into the state
    # directory, the one place where the service may write (the program replaces the
    # target of a link, not the link). A file found there (written when the service ran as
    # root) moves behind its link.
    for entry in @KVRT_INSTALL_DIR@/events.ini:events.ini /etc/serialnumber:serialnumber; do
        link=${entry%%:*}
        target=@KVRT_STATE_DIR@/${entry#*:}
        if [ -f "$link" ] && [ ! -L "$link" ]; then
            mkdir -p @KVRT_STATE_DIR@
            mv -fT "$link" "$target"
            chown -h @KVRT_SERVICE_USER@: "$target"
        fi
        if [ ! -e "$link" ] && [ ! -L "$link" ]; then
            ln -s "$target" "$link"
        fi
    done
fi

