.pragma library

// What a page shows, as one log line: its name (untranslated), the texts of its visible
// items in the order of the item tree, then those of the open popups (the overlay). A
// password field gives its dots, never its text. A look at the screen from the log.
function line(name, page, overlay) {
    return "[QML] Screen text (" + name + ") : " + shown(page).concat(shown(overlay)).join(" | ")
}

function shown(item) {
    if (!item || !item.visible || item.opacity === 0)
        return []
    let texts = []
    const text = item.echoMode > 0 ? item.displayText : item.text
    if (typeof text === "string" && text !== "")
        texts.push(text.replace(/\n/g, " / "))
    for (let i = 0; i < item.children.length; ++i)
        texts = texts.concat(shown(item.children[i]))
    return texts
}
