#include "WindowSticky.h"

#include <QWindow>

#import <AppKit/AppKit.h>

// Qt's Cocoa plugin backs each QWindow with an NSView whose NSWindow exists once winId()
// has been called; joining all Spaces is a property of that NSWindow.
bool stickMakeWindowSticky(QWindow* window) {
    if (window == nullptr) {
        return false;
    }
    NSView* view = reinterpret_cast<NSView*>(window->winId());
    NSWindow* nsWindow = view != nil ? view.window : nil;
    if (nsWindow == nil) {
        return false;
    }
    nsWindow.collectionBehavior = nsWindow.collectionBehavior |
                                  NSWindowCollectionBehaviorCanJoinAllSpaces |
                                  NSWindowCollectionBehaviorStationary |
                                  NSWindowCollectionBehaviorIgnoresCycle;
    return true;
}
