.pragma library

// The status colours of the settings pages.
var green = "#4CAF50"
var amber = "#FFB300"
var red = "#F44336"
var grey = "#9E9E9E"
var text = "#e7e7e7"

// A test result: not run yet, passed, failed, or anything in between (e.g. "N/A").
function result(value) {
    return value === "" ? grey : value === "OK" ? green : value === "ERROR" ? red : amber
}

// Green for the values in `good`, amber for those in `doubtful`, red for the
// rest; without a `doubtful` list: red for those in `bad`, amber for the rest.
function state(value, good, bad, doubtful) {
    if (good.indexOf(value) >= 0)
        return green
    if (doubtful !== undefined)
        return doubtful.indexOf(value) >= 0 ? amber : red
    return bad.indexOf(value) >= 0 ? red : amber
}
