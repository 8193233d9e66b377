"""A small Tk program for the desktop executor's tests: it reports what reached it.

Run with an interpreter that has tkinter. It prints one JSON line "ready" with the places of
its widgets (root coordinates), then answers each line "state" on standard input with a JSON
line of what it has seen: button presses, the entry's text, the dragged square, the text
view's scroll position.
"""

import json
import sys
import tkinter as tk

BACKGROUND = "#2040c0"
SQUARE = "#ff0000"

root = tk.Tk()
root.geometry("600x400+0+0")
root.configure(background=BACKGROUND)
seen = {"clicks": 0, "right_clicks": 0, "double_clicks": 0}


def pressed():
    seen["clicks"] += 1


button = tk.Button(root, text="Press", command=pressed)
button.place(x=20, y=20, width=120, height=40)
button.bind("<Button-3>", lambda e: seen.__setitem__("right_clicks", seen["right_clicks"] + 1))
entry = tk.Entry(root, font=("TkFixedFont", 12))
entry.place(x=20, y=80, width=300, height=30)
entry.bind(
    "<Double-Button-1>",
    lambda e: seen.__setitem__("double_clicks", seen["double_clicks"] + 1),
    add="+",
)
canvas = tk.Canvas(root, background="white", highlightthickness=0)
canvas.place(x=20, y=130, width=300, height=200)
square = canvas.create_rectangle(20, 20, 80, 80, fill=SQUARE, outline=SQUARE)
drag = {"from": None}


def grab(event):
    drag["from"] = (event.x, event.y)


def move(event):
    if drag["from"] is not None:
        canvas.move(square, event.x - drag["from"][0], event.y - drag["from"][1])
        drag["from"] = (event.x, event.y)


def drop(event):
    drag["from"] = None


canvas.tag_bind(square, "<ButtonPress-1>", grab)
canvas.bind("<B1-Motion>", move)
canvas.bind("<ButtonRelease-1>", drop)
text = tk.Text(root)
text.place(x=340, y=20, width=240, height=300)
text.insert("1.0", "".join(f"line {i}\n" for i in range(1, 301)))


def place(widget):
    return [widget.winfo_rootx(), widget.winfo_rooty(), widget.winfo_width(), widget.winfo_height()]


def answer(*_):
    line = sys.stdin.readline()
    if not line:
        root.destroy()
        return
    state = dict(
        seen,
        entry=entry.get(),
        square=canvas.coords(square),
        yview=text.yview()[0],
        focus=str(root.focus_get()),
    )
    print(json.dumps(state), flush=True)


def announce():
    root.update_idletasks()
    print(
        json.dumps(
            {
                "ready": True,
                "button": place(button),
                "entry": place(entry),
                "canvas": place(canvas),
                "text": place(text),
            }
        ),
        flush=True,
    )


root.tk.createfilehandler(sys.stdin, tk.READABLE, answer)
root.after(200, announce)
root.mainloop()
