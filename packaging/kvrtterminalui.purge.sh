    # The device id goes back to /etc as a file of its own: it outlives the program.
    if [ "$(readlink /etc/serialnumber || true)" = @KVRT_STATE_DIR@/serialnumber ]; then
        if [ -f @KVRT_STATE_DIR@/serialnumber ] && [ ! -L @KVRT_STATE_DIR@/serialnumber ]; then
            cp @KVRT_STATE_DIR@/serialnumber /etc/serialnumber.dpkg-tmp
            chmod 0644 /etc/serialnumber.dpkg-tmp
            mv -fT /etc/serialnumber.dpkg-tmp /etc/serialnumber
        else
            rm -f /etc/serialnumber
        fi
    fi
    # Nothing the service could write outlives the purge (its state directory and links
    # go below, its IPC objects went when it stopped): its user goes too.
    if command -v deluser >/dev/null; then
        deluser --system --quiet @KVRT_SERVICE_USER@ >/dev/null 2>&1 || true
    fi
