import QtGraphicalEffects 1.15

// The colour overlay of an ImageBox, in a file of its own: the graphical effects are
// loaded only where an image is tinted.
ColorOverlay {
}
