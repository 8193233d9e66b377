"""talmek: native components of the desktop assistant (the scrivel file worker and the steerix agent)."""  # noqa: E501
